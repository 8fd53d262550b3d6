"""Registration of the project's circuit models on the active PDK."""

from __future__ import annotations

from korvane.core.lazy import lazy_import

__all__ = ["register_models"]

cg = lazy_import("korvane.core.callgraph")
imports = lazy_import("korvane.core.imports")
lv = lazy_import("lumivar")
log = lazy_import("korvane.logger", "get_logger")


def register_models(G, reload: bool = True) -> list[str]:
    """Import the circuit models the call graph found and register them on the active PDK.

    Each model is stored in the active PDK's `models` under its function's
    name.  A file that fails to import, or no longer defines a model, is
    logged as a warning and skipped.  Returns the names registered, in the
    call graph's order.
    """
    if not isinstance(G, cg.CallGraph):
        raise TypeError(f"expected a CallGraph from create_callgraph(), not {type(G).__name__}")
    factories = G.models()
    if not factories:
        return []
    models = lv.get_active_pdk().models
    paths = list(dict.fromkeys(f.path for f in factories))
    modules, errors = imports.import_modules(paths=paths, reload=bool(reload), from_project=False)
    for path, (modname, error) in errors.items():
        log().warning(f"{path.name}: models of {modname} not registered: {error}")
    registered = []
    for factory in factories:
        module = modules.get(factory.path)
        if module is None:
            continue
        model = getattr(module, factory.name, None)
        if not callable(model):
            log().warning(f"Model '{factory.name}' not found in '{factory.path}'.")
            continue
        models[factory.name] = model
        registered.append(factory.name)
    return registered
