"""Result codes and the exception that carries them."""

from __future__ import annotations

from typing import Optional

# Every code the library produces, by its Win32 name (the same table as korval/korval.h).
RESULT_NAMES: dict[int, str] = {
    0: "ERROR_SUCCESS",
    2: "ERROR_FILE_NOT_FOUND",
    4: "ERROR_TOO_MANY_OPEN_FILES",
    5: "ERROR_ACCESS_DENIED",
    6: "ERROR_INVALID_HANDLE",
    8: "ERROR_NOT_ENOUGH_MEMORY",
    13: "ERROR_INVALID_DATA",
    14: "ERROR_OUTOFMEMORY",
    21: "ERROR_NOT_READY",
    24: "ERROR_BAD_LENGTH",
    25: "ERROR_SEEK",
    30: "ERROR_READ_FAULT",
    31: "ERROR_GEN_FAILURE",
    32: "ERROR_SHARING_VIOLATION",
    38: "ERROR_HANDLE_EOF",
    50: "ERROR_NOT_SUPPORTED",
    52: "ERROR_DUP_NAME",
    87: "ERROR_INVALID_PARAMETER",
    122: "ERROR_INSUFFICIENT_BUFFER",
    126: "ERROR_MOD_NOT_FOUND",
    183: "ERROR_ALREADY_EXISTS",
    259: "ERROR_NO_MORE_ITEMS",
    487: "ERROR_INVALID_ADDRESS",
    995: "ERROR_OPERATION_ABORTED",
    998: "ERROR_NOACCESS",
    1104: "ERROR_NO_DATA_DETECTED",
    1167: "ERROR_DEVICE_NOT_CONNECTED",
    1349: "ERROR_BAD_TOKEN_TYPE",
    1359: "ERROR_INTERNAL_ERROR",
    1413: "ERROR_INVALID_INDEX",
    1460: "ERROR_TIMEOUT",
    1617: "ERROR_DEVICE_REMOVED",
    1784: "ERROR_INVALID_USER_BUFFER",
}


def result_name(code: int) -> Optional[str]:
    """The Win32 name of a result code ("ERROR_DEVICE_REMOVED"), or None for one the library never gives."""
    return RESULT_NAMES.get(code)


class KorvalError(Exception):
    """A library call failed: `.code` is its Win32 result code, `.name` the code's Win32 name and
    `.function` the C function that returned it."""

    def __init__(self, code: int, function: str = "") -> None:
        self.code = int(code)
        self.name = result_name(self.code) or f"error {self.code}"
        self.function = function
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{self.name} ({self.code})")


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message names every place that was tried."""
