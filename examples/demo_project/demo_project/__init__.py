"""Demo project: a few cells and a circuit model on the generic PDK."""
