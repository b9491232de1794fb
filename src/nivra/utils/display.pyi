import subprocess as subprocess
from typing import Any, Dict, List, Optional, Tuple

RESET: str
BOLD: str
DIM: str
CYAN: str
GREEN: str
YELLOW: str
BLUE: str
MAGENTA: str
RED: str
WHITE: str
GRAY: str

NIVRA_LOGO: str
NIVRA_PREDICT: str
NIVRA_FLOWER: str
NIVRA_TRAINING: str
NIVRA_DONE: str

BAR_WIDTH: int

def _c(text: object, *codes: str) -> str: ...
def epoch_bar(
    epoch: int,
    total: int,
    loss: float,
    val_loss: Optional[float] = None,
    oa: Optional[float] = None,
    miou: Optional[float] = None,
    aa: Optional[float] = None,
    kappa: Optional[float] = None,
    interval: int = 20,
    prefix: str = "  ",
) -> None: ...
def forest_banner(forest_idx: int, num_forests: int, seed: int, node_id: str) -> str: ...
def node_banner(
    node_id: str,
    node_classes: List[Any],
    num_classes: int,
    epochs: int,
    num_forests: int,
    loss_type: str,
    focal_gamma: float,
    train_pixels: int,
    val_pixels: int,
) -> str: ...
def gpu_stats() -> str: ...
def forest_done_line(
    forest_idx: int,
    num_forests: int,
    best_miou: float,
    best_epoch: int,
    best_oa: float,
    best_aa: float,
    best_kappa: float,
    elapsed: str,
) -> str: ...
def print_logo() -> None: ...
def print_predict_start() -> None: ...
def print_visualize_start() -> None: ...
def print_training_start() -> None: ...
def print_training_done() -> None: ...
def print_config_box(title: str, items: List[Tuple[str, str]]) -> None: ...
def print_results_box(metrics: Dict[Any, float], routing: Optional[str] = None) -> None: ...
def print_per_class_iou(
    class_ious: Dict[int, float], pixel_counts: Optional[Dict[int, int]] = None
) -> None: ...
def print_save_and_next(
    out_dir: str,
    save_file: str,
    data_path: str,
    gt_path: str,
    train_ratio: float,
    val_ratio: float,
) -> None: ...
