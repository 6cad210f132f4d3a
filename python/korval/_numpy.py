"""numpy, imported when sample data first needs it: finding and identifying boards works without it."""

from __future__ import annotations

from typing import Any


class _Numpy:
    def __getattr__(self, name: str) -> Any:
        try:
            import numpy
        except ImportError as e:
            raise ImportError("korval needs numpy for sample data (Debian: apt-get install python3-numpy)") from e
        return getattr(numpy, name)


np: Any = _Numpy()
