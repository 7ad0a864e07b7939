"""Python access to the QM-TRV DDS module through morvane-cli serve's SCPI commands."""

from .instrument import Clocks, QmTrv, QmTrvChannel, QmTrvError

__all__ = ["Clocks", "QmTrv", "QmTrvChannel", "QmTrvError"]
