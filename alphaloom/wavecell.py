"""The `wavecell` extension module under the package name: `alphaloom.wavecell is wavecell`."""
import sys

import wavecell as _module

sys.modules[__name__] = _module
