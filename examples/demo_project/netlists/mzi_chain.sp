* Two Mach-Zehnder stages in a chain, built from cells of the generic PDK.
* Lengths are written in metres; on import they become micrometres.
.subckt mzi_stage o1 o2 delta=10u
X_split o1 a1 a2 mmi1x2 * location=(0,0,0)
X_top a1 b1 straight length='delta' * location=(o1)(15.5,10,0)
X_bot a2 b2 straight length=1u * location=(o1)(15.5,-10,0)
X_join o2 b2 b1 mmi1x2 * location=(80,0,180)
.ends mzi_stage

.subckt mzi_chain in out
X1 in mid mzi_stage delta=20u
+ $ location=(0,0,0)
X2 mid out mzi_stage
+ delta=35u
+ $ location=(200,0,0)
.ends mzi_chain
