"""Cells of the demo project, built from cells of the generic PDK."""

import lumivar as lv
from lumivar.generic_tech import bend_euler, mmi1x2, straight


@lv.cell
def grating_coupler(*, period: float = 0.63, fill_factor: float = 0.5) -> lv.Component:
    """A grating coupler: o1 towards the chip, o2 towards the fibre above it."""
    if not 0 < fill_factor < 1:
        raise ValueError(f"fill_factor must lie between 0 and 1, not {fill_factor!r}")
    c = lv.Component()
    c.add_port("o1", position=(0, 0), orientation=180)
    c.add_port("o2", position=(20 * period, 0), orientation=90, width=10)
    return c


@lv.cell
def splitter_tree(*, spacing: float = 50.0) -> lv.Component:
    """One input split four ways by three mmi1x2: o1 in, o2 to o5 out."""
    c = lv.Component()
    root = c.add_instance("root", mmi1x2())
    upper = c.add_instance("upper", mmi1x2(), x=spacing, y=spacing / 2)
    lower = c.add_instance("lower", mmi1x2(), x=spacing, y=-spacing / 2)
    c.connect((root, "o2"), (upper, "o1"))
    c.connect((root, "o3"), (lower, "o1"))
    c.add_port("o1", port=(root, "o1"))
    c.add_port("o2", port=(upper, "o2"))
    c.add_port("o3", port=(upper, "o3"))
    c.add_port("o4", port=(lower, "o2"))
    c.add_port("o5", port=(lower, "o3"))
    return c


@lv.cell()
def delay_loop(*, length: float = 100.0, radius: float = 10.0) -> lv.Component:
    """A U-turn delay: a straight, two bends and a straight back."""
    c = lv.Component()
    out = c.add_instance("out", straight(length=length))
    turn1 = c.add_instance("turn1", bend_euler(radius=radius), x=length)
    turn2 = c.add_instance(
        "turn2", bend_euler(radius=radius), x=length + radius, y=radius, rotation=90
    )
    back = c.add_instance("back", straight(length=length), x=length, y=2 * radius, rotation=180)
    c.connect((out, "o2"), (turn1, "o1"))
    c.connect((turn1, "o2"), (turn2, "o1"))
    c.connect((turn2, "o2"), (back, "o1"))
    c.add_port("o1", port=(out, "o1"))
    c.add_port("o2", port=(back, "o2"))
    return c
