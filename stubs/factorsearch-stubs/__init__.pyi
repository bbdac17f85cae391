"""Types of the `factorsearch` extension module (the stubs live in the alphaloom package)."""
from alphaloom.factorsearch import *
