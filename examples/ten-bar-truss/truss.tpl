$ Ten-bar cantilever truss: input deck of truss.py, written by KARVO for each design.
$ Units: inch, pound (areas in in^2, Young's modulus and stresses in psi, density in lb/in^3).
$
$    5                    3                    1
$  //o---------(1)--------o---------(2)--------o
$  //| \                / | \                / |
$  //|   (7)        (8)   |   (9)       (10)   |
$  //|      \      /     (5)     \      /     (6)
$  //|        \  /        |        \  /        |
$  //|        /  \        |        /  \        |
$  //|      /      \      |      /      \      |
$  //o---------(3)--------o---------(4)--------o
$    6                    4                    2
$                         | P                  | P
$                         v                    v
$
*TITLE
Ten-bar cantilever truss, design {{Design_Num}}
*MATERIAL
YOUNGS  {{youngsModulus}}
DENSITY {{density}}
*NODE
$ node        x          y
     1     720.0      360.0
     2     720.0        0.0
     3     360.0      360.0
     4     360.0        0.0
     5       0.0      360.0
     6       0.0        0.0
*ELEMENT
$ elem  node-i  node-j   area
     1       5       3   {{A1}}
     2       3       1   {{A2}}
     3       6       4   {{A3}}
     4       4       2   {{A4}}
     5       3       4   {{A5}}
     6       1       2   {{A6}}
     7       5       4   {{A7}}
     8       6       3   {{A8}}
     9       3       2   {{A9}}
    10       4       1   {{A10}}
*BOUNDARY
$ node  fix-x  fix-y
     5      1      1
     6      1      1
*LOAD
$ node   dir-x   dir-y   magnitude
     2     0.0    -1.0   {{load}}
     4     0.0    -1.0   {{load}}
*END
