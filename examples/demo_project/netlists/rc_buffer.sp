* Two RC stages with a voltage-controlled buffer between them.
* Values are key=value words; a value in single quotes names a parameter.
.global gnd

.subckt rc_stage inp out r=1000 c=1p
R1 inp mid r='r'
C1 mid out c='c'
.ends rc_stage

.subckt buffer inn inp out ref gain=10
* out - ref = gain * (inp - inn)
E1 out ref vcvs inp inn 'gain'
.ends buffer

.subckt top in out vref gnd cload=2p
X1 in n1 rc_stage r=2000 c='cload' * location=(o1)(0,0,0)
X2 vref n1 n2 gnd buffer $ location=(o2)(40,0,0)
X3 n2 out rc_stage
+ r=500 c=0.5p $ location=(80,0,0)
.ends top
