* An optical link: light from one fibre split four ways to four fibres.
* grating_coupler and splitter_tree are the demo project's own cells.
.subckt link fiber_in fiber_1 fiber_2 fiber_3 fiber_4
X_in w0 fiber_in grating_coupler period=0.63 * location=(o1)(0,0,0)
X_tree w0 w1 w2 w3 w4 splitter_tree spacing=50 * location=(o1)(30,0,0)
X_out1 w1 fiber_1 grating_coupler * location=(o1)(120,40,180)
X_out2 w2 fiber_2 grating_coupler * location=(o1)(120,20,180)
X_out3 w3 fiber_3 grating_coupler * location=(o1)(120,-20,180)
X_out4 w4 fiber_4 grating_coupler * location=(o1)(120,-40,180)
.ends link
