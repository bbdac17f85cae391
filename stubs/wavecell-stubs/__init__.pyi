"""Types of the `wavecell` extension module (the stubs live in the alphaloom package)."""
from alphaloom.wavecell import *
