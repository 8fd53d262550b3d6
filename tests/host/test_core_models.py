from korvane.core import callgraph as cg
from korvane.core.models import register_models

MODEL = "import nodalis as nd\n\n@nd.model\ndef {name}():\n    return {{('o1', 'o2'): {value}}}\n"


def test_models_are_registered_on_the_active_pdk(project, generic_pdk, caplog):
    project.write(
        "chip/models.py", MODEL.format(name="ring", value=1) + MODEL.format(name="taper", value=2)
    )
    project.write(
        "chip/broken.py", MODEL.format(name="lost", value=3) + "raise RuntimeError('broken')\n"
    )
    assert register_models(cg.create_callgraph(), reload=True) == ["ring", "taper"]
    assert generic_pdk.models["ring"]() == {("o1", "o2"): 1}
    assert "lost" not in generic_pdk.models and "straight" in generic_pdk.models
    assert caplog.messages == ["broken.py: models of chip.broken not registered: broken"]


def test_reloading_registers_the_edited_model(project, generic_pdk):
    path = project.write("chip/models.py", MODEL.format(name="ring", value=1))
    G = cg.create_callgraph()
    register_models(G)
    path.write_text(MODEL.format(name="ring", value=22))
    register_models(G, reload=False)
    assert generic_pdk.models["ring"]() == {("o1", "o2"): 1}
    register_models(G, reload=True)
    assert generic_pdk.models["ring"]() == {("o1", "o2"): 22}
