"""The Tachyra eight-channel pulse counter from Python, on the client's own session."""

import builtins
from typing import Iterable, Iterator, Literal, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
CHANNELS: int

Float64Array = npt.NDArray[np.float64]

class DeviceError(Exception):
    """The instrument or the link failed; str(e) is the client's own message."""
    message: str
    code: str  # "DacRejected", "NoReply", "LinkLost", ...

class ConnectError(DeviceError, builtins.ConnectionError):
    """The link could not be opened (the transport's message)."""

class LinkLostError(DeviceError, builtins.ConnectionError):
    """The link ended under an operation or a read (the transport's message)."""

class TimeoutError(DeviceError, builtins.TimeoutError):
    """The instrument did not answer in time ("No reply from device")."""

class RejectedError(DeviceError):
    """The instrument refused a command ("SDAC rejected", "WEEP rejected", ...)."""

class BadReplyError(DeviceError):
    """The instrument's reply could not be read."""

class BusyError(DeviceError):
    """A sweep or a network change holds the instrument."""

class BufferOverflowWarning(RuntimeWarning):
    """Readings were dropped because the buffer was full before they were read."""

class DeviceWarning(RuntimeWarning):
    """A reply the polling could not use, or a value the instrument kept."""

class Port:
    name: str
    description: str
    preferred: bool

class Network:
    mode: str  # "DHCP", "Static" or ""
    dhcp: bool
    ip: str
    netmask: str
    gateway: str

class Reading:
    counts: Float64Array  # (8,)
    time: np.datetime64  # ms, UTC
    elapsed_s: float  # since connect(), steady clock
    period_ms: int
    thresholds_mv: Float64Array  # (8,), NaN while unknown
    sweep: bool

class Readings:
    counts: Float64Array  # (n, 8)
    time: npt.NDArray[np.datetime64]  # (n,) datetime64[ms], UTC
    elapsed_s: Float64Array  # (n,)
    period_ms: npt.NDArray[np.int64]  # (n,)
    thresholds_mv: Float64Array  # (n, 8), NaN while unknown
    sweep: npt.NDArray[np.bool_]  # (n,)
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Reading: ...
    @overload
    def __getitem__(self, range: slice) -> "Readings": ...
    def as_dict(self) -> dict[str, np.ndarray]: ...

class SweepPoints:
    channel: int
    threshold_mv: Float64Array  # (n,)
    counts: Float64Array  # (n,)
    time: npt.NDArray[np.datetime64]  # (n,)
    def __len__(self) -> int: ...

class Calibration:
    suggested_mv: Float64Array  # (8,), NaN where there is no suggestion
    valley_low_mv: Float64Array  # (8,)
    valley_high_mv: Float64Array  # (8,)
    uncertainty_mv: Float64Array  # (8,)
    quality: Float64Array  # (8,)
    reasons: list[str]
    reason_keys: list[str]
    points: dict[int, SweepPoints]
    spectrum: dict[int, dict[str, Float64Array]]

class Stream:
    def __iter__(self) -> "Stream": ...
    def __next__(self) -> Union[Reading, Readings]: ...

class Device:
    """An open instrument; a context manager that closes the link on leaving."""
    def __enter__(self) -> "Device": ...
    def __exit__(self, *args: object) -> bool: ...
    def close(self) -> None: ...
    def reopen(self) -> None: ...
    @property
    def connected(self) -> bool: ...
    @property
    def link(self) -> str: ...
    # Reading asks the instrument; setting (1..60000) waits for the read-back.
    period_ms: int
    # Reading: (8,) mV. Setting: one level for all channels or 8 levels, 0..1000 mV,
    # waits until the instrument has stored them in its EEPROM.
    @property
    def thresholds_mv(self) -> Float64Array: ...
    @thresholds_mv.setter
    def thresholds_mv(self, value: Union[float, Sequence[float]]) -> None: ...
    def set_threshold(self, channel: Union[int, Literal["all"]], mv: float) -> None: ...
    @property
    def network(self) -> Network: ...
    def set_network(self, *, dhcp: Optional[bool] = None, ip: Optional[str] = None,
                    netmask: Optional[str] = None, gateway: Optional[str] = None) -> None: ...
    def read(self, n: Optional[int] = None, *, seconds: Optional[float] = None) -> Readings: ...
    @overload
    def stream(self) -> Iterator[Reading]: ...
    @overload
    def stream(self, *, batches: Literal[True]) -> Iterator[Readings]: ...
    def sweep(self, channel: int, start_mv: int, stop_mv: int, step_mv: int) -> SweepPoints: ...
    def calibrate(self, channels: Iterable[int] = ..., *, from_mv: int, to_mv: int, step_mv: int,
                  apply: bool = False) -> Calibration: ...
    @property
    def buffered(self) -> int: ...
    @property
    def buffer_size(self) -> int: ...
    @property
    def dropped(self) -> int: ...
    @property
    def taken(self) -> int: ...
    def clear(self) -> None: ...

def connect(tcp: Optional[str] = None, serial: Optional[str] = None, *,
            buffer: Optional[int] = None) -> Device: ...
def ports() -> list[Port]: ...
def scan() -> list[str]: ...
