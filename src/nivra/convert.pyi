import argparse as argparse
import json as json
import os as os
import sys as sys
import time as time
from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple, overload

import numpy as np
import scipy.io as sio

from nivra.utils.display import BOLD as BOLD
from nivra.utils.display import CYAN as CYAN
from nivra.utils.display import GRAY as GRAY
from nivra.utils.display import GREEN as GREEN
from nivra.utils.display import RED as RED
from nivra.utils.display import RESET as RESET
from nivra.utils.display import YELLOW as YELLOW
from nivra.utils.display import _c as _c
from nivra.utils.display import print_config_box as print_config_box

_Loaded = Tuple[np.ndarray, Dict[str, Any]]

_EXT_MAP: Dict[str, str]
_LOADERS: Dict[str, Callable[[str], _Loaded]]
_READ_BLOCK_BYTES: int
_PROGRESS_AFTER_SECONDS: float

def _strip_dataset_specifier(path: str) -> str: ...
def _detect_format(path: str) -> str: ...
def _check_dep(name: str) -> None: ...
def _load_envi(path: str) -> _Loaded: ...
def _load_tiff(path: str) -> _Loaded: ...
def _load_hdf5(path: str) -> _Loaded: ...
def _json_safe(val: Any) -> Any: ...
def _load_gt(path: str) -> _Loaded: ...
def _apply_crop(
    data: np.ndarray, gt: Optional[np.ndarray], crop: Tuple[int, int, int, int]
) -> Tuple[np.ndarray, Optional[np.ndarray]]: ...
def _print_summary(
    data: np.ndarray,
    gt: Optional[np.ndarray],
    meta: Dict[str, Any],
    gt_meta: Optional[Dict[str, Any]],
    out_dir: str,
    elapsed: float,
    data_key: str = "data",
    gt_key: str = "gt",
    preview: Optional[List[int]] = None,
) -> None: ...
def _write_mat(
    file: BinaryIO, name: str, array: np.ndarray, block_size: int = 262144, threads: int = 0
) -> bool: ...
def _write_mat73(path: str, name: str, array: np.ndarray, chunk_bytes: int = 1048576, threads: int = 0) -> None: ...
@overload
def _continue_deflate(stream: bytes, careful: bool = False, whole: bool = False) -> bytes: ...
@overload
def _continue_deflate(stream: List[bytes], careful: bool = False, whole: bool = False) -> List[bytes]: ...
def _run_in_order(
    jobs: int, threads: int, ahead: int, produce: Callable[[int], object], consume: Callable[[int], object]
) -> None: ...
def main() -> None: ...
