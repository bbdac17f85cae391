"""The `dualstream` extension module under the package name: `alphaloom.dualstream is dualstream`."""
import sys

import dualstream as _module

sys.modules[__name__] = _module
