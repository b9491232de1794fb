"""Calls every function of both modules with the types their stubs declare;
`mypy --strict examples/typed_usage.py` checks it. Running it prints a tour
of the display library."""

import numpy as np

from nivra import convert
from nivra.utils import display


def converter_calls(workdir: str) -> None:
    fmt: str = convert._detect_format(convert._strip_dataset_specifier("scene.h5::/cube"))
    convert._check_dep("h5py")
    loader = convert._LOADERS[fmt]
    print(loader.__name__, sorted(convert._EXT_MAP))
    for load in (convert._load_envi, convert._load_tiff, convert._load_hdf5, convert._load_gt):
        print(load.__name__)
    data = np.zeros((4, 4, 2), dtype=np.float32)
    gt = np.zeros((4, 4), dtype=np.uint8)
    cropped, cropped_gt = convert._apply_crop(data, gt, (0, 0, 2, 2))
    meta = {"_source_format": "synthetic", "attr": convert._json_safe(np.int64(3))}
    convert._print_summary(cropped, cropped_gt, meta, {"_source_format": "synthetic"}, workdir, 0.1,
                           data_key="data", gt_key="gt")
    if False:  # main() parses sys.argv
        convert.main()


def display_calls() -> None:
    print(display._c("ok", display.GREEN, display.BOLD))
    display.print_logo()
    display.print_training_start()
    display.print_predict_start()
    display.print_visualize_start()
    display.print_training_done()
    display.print_config_box("Config", [("lr", "0.001"), ("epochs", "100")])
    for epoch in range(0, 41, 20):
        display.epoch_bar(epoch, 40, 0.5 - epoch / 100, oa=0.91, miou=0.72, kappa=0.65, interval=20)
    print(display.forest_banner(0, 3, 42, "root"))
    print(display.forest_done_line(0, 3, 0.7, 40, 0.95, 0.8, 0.6, "2m 10s"))
    print(display.node_banner("root", [1, 2, 3], 4, 100, 3, "focal", 2.0, 5000, 1200))
    stats: str = display.gpu_stats()
    print(stats)
    display.print_results_box({"OA": 0.93, "mIoU": 0.71, "kappa": 0.66}, routing="all")
    display.print_per_class_iou({1: 0.85, 2: 0.55, 3: 0.2}, pixel_counts={1: 500, 2: 30, 3: 12})
    display.print_save_and_next("runs/a", "model.pt", "data.mat", "gt.mat", 0.1, 0.1)


if __name__ == "__main__":
    import tempfile

    display_calls()
    with tempfile.TemporaryDirectory() as workdir:
        converter_calls(workdir)
