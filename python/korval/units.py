"""Analog input ranges and their units: the range codes, their names ("±10 V", "0-5 V") and volts per
count. Imports nothing else of the package, so every module can use it."""

from __future__ import annotations

import enum
import re
from typing import Any, Sequence, Union


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as e:
        raise ImportError("korval needs numpy for sample data (Debian: apt-get install python3-numpy)") from e
    return numpy


class Range(enum.IntEnum):
    """An analog input range: the gain code of a range slot."""

    UNI_10V = 0  #: 0 to 10 V
    BIP_10V = 1  #: -10 to +10 V
    UNI_5V = 2   #: 0 to 5 V
    BIP_5V = 3   #: -5 to +5 V
    UNI_2V = 4   #: 0 to 2 V
    BIP_2V = 5   #: -2 to +2 V
    UNI_1V = 6   #: 0 to 1 V
    BIP_1V = 7   #: -1 to +1 V

    @property
    def bipolar(self) -> bool:
        return bool(self & 1)

    @property
    def span(self) -> float:
        """The largest voltage of the range, in volts."""
        return (1.0 if self & 2 else 2.0) * (1.0 if self & 4 else 5.0)

    @property
    def volts_per_count(self) -> float:
        return (2.0 if self.bipolar else 1.0) * self.span / 65536.0

    @property
    def lowest(self) -> float:
        """The voltage of count 0."""
        return -self.span if self.bipolar else 0.0

    def to_volts(self, counts: Any) -> Any:
        """Counts (a number or an array) converted to volts in this range."""
        np = _numpy()
        volts = np.asarray(counts, dtype=np.float64) * self.volts_per_count + self.lowest
        return float(volts) if np.ndim(volts) == 0 else volts

    def __str__(self) -> str:
        span = f"{self.span:g} V"
        return f"±{span}" if self.bipolar else f"0-{span}"


RangeArg = Union[str, Range, int, Sequence[Union[str, Range, int]]]


def parse_range(text: Any) -> Range:
    """A range from its text ("±10 V", "+-10V", "-10..10 V", "0-5 V", "0..5"), its code or a Range."""
    if isinstance(text, Range):
        return text
    if isinstance(text, int) and not isinstance(text, bool):
        if 0 <= text <= 7:
            return Range(text)
        raise ValueError(f"range code {text}: the codes are 0 to 7")
    if not isinstance(text, str):
        raise ValueError(f"range {text!r}: give a text such as '±10 V' or a korval.Range")
    t = text.replace(" ", "").replace("±", "~").replace("+/-", "~").replace("+-", "~")
    t = t[:-1] if t[-1:] in ("V", "v") else t
    bipolar, span = False, ""
    if t.startswith("~"):
        bipolar, span = True, t[1:]
    else:
        m = re.fullmatch(r"(-?[\d.]+?)(?:\.\.|-)\+?([\d.]+)", t)
        if m and m.group(1) == "0":
            span = m.group(2)
        elif m and m.group(1) == "-" + m.group(2):
            bipolar, span = True, m.group(2)
    for r in Range:
        try:
            if r.bipolar == bipolar and span and float(span) == r.span:
                return r
        except ValueError:
            break
    raise ValueError(f"range {text!r}: the board's ranges are " + ", ".join(str(r) for r in Range))


def is_one_range(ranges: Any) -> bool:
    return isinstance(ranges, (str, int))  # a Range is an int


def parse_ranges(ranges: RangeArg, count: int) -> list[Range]:
    """One range for every channel, or one per channel (`count` of them)."""
    if is_one_range(ranges):
        return [parse_range(ranges)] * count
    listed = [parse_range(r) for r in ranges]  # type: ignore[union-attr]
    if len(listed) != count:
        raise ValueError(f"{len(listed)} ranges given for {count} channels: give one for all or one per channel")
    return listed


def volts_per_count(ranges: Sequence[Range]) -> tuple[Any, Any]:
    """Per-channel scale and offset arrays: volts = counts * scale + offset."""
    np = _numpy()
    return np.array([r.volts_per_count for r in ranges]), np.array([r.lowest for r in ranges])
