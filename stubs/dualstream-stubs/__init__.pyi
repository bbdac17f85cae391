"""Types of the `dualstream` extension module (the stubs live in the alphaloom package)."""
from alphaloom.dualstream import *
