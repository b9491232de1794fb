// Banners: ensemble start and finish lines, the node block, the stage pictures.
#include "display/display.hpp"

namespace nivra::display {

namespace {

py::str forest_banner(py::object forest_idx_arg, py::object num_forests_arg, py::object seed_arg,
                      py::object node_id_arg) {
  const char* f = "forest_banner";
  py::int_ forest_idx = require_int({f, "forest_idx"}, forest_idx_arg);
  py::int_ num_forests = require_int({f, "num_forests"}, num_forests_arg);
  py::int_ seed = require_int({f, "seed"}, seed_arg);
  py::str node_id = require_str({f, "node_id"}, node_id_arg);
  const Namespace& g = ns();

  return cat({"\n  ", g["BOLD"], g["CYAN"], "\u2500\u2500 Ensemble ", forest_idx + py::int_(1), "/",
              num_forests, g["RESET"], "  seed=", seed, "  node='", node_id, "'"});
}

py::str forest_done_line(py::object forest_idx_arg, py::object num_forests_arg,
                         py::object best_miou_arg, py::object best_epoch_arg,
                         py::object best_oa_arg, py::object best_aa_arg,
                         py::object best_kappa_arg, py::object elapsed_arg) {
  const char* f = "forest_done_line";
  py::int_ forest_idx = require_int({f, "forest_idx"}, forest_idx_arg);
  py::int_ num_forests = require_int({f, "num_forests"}, num_forests_arg);
  py::float_ best_miou = require_real({f, "best_miou"}, best_miou_arg);
  py::int_ best_epoch = require_int({f, "best_epoch"}, best_epoch_arg);
  py::float_ best_oa = require_real({f, "best_oa"}, best_oa_arg);
  py::float_ best_aa = require_real({f, "best_aa"}, best_aa_arg);
  py::float_ best_kappa = require_real({f, "best_kappa"}, best_kappa_arg);
  py::str elapsed = require_str({f, "elapsed"}, elapsed_arg);
  const Namespace& g = ns();

  py::object miou_colour = grade(best_miou, 0.65, 0.45);
  py::object oa_colour = grade(best_oa, 0.9, 0.7);
  py::object aa_colour = grade(best_aa, 0.9, 0.7);
  py::object kappa_colour = grade(best_kappa, 0.85, 0.65);

  py::object gpu = g["gpu_stats"]();
  py::str gpu_part = truthy(gpu) ? cat({" | ", gpu}) : py::str("");
  py::str second = cat({"    ", g["GRAY"], elapsed, " elapsed", gpu_part, g["RESET"]});

  py::object c = g["_c"];
  return cat({"  ", g["GREEN"], "\u2713", g["RESET"],
              " Ensemble ", forest_idx + py::int_(1), "/", num_forests,
              " done  Best @ epoch ", g["BOLD"], best_epoch, g["RESET"],
              "  mIoU ", c(format(best_miou, ".4f"), miou_colour),
              "  OA ", c(format(best_oa, ".4f"), oa_colour),
              "  AA ", c(format(best_aa, ".4f"), aa_colour),
              "  \u03ba ", c(format(best_kappa, ".4f"), kappa_colour),
              "\n", second});
}

py::str node_banner(py::object node_id_arg, py::object node_classes_arg,
                    py::object num_classes_arg, py::object epochs_arg,
                    py::object num_forests_arg, py::object loss_type_arg,
                    py::object focal_gamma_arg, py::object train_pixels_arg,
                    py::object val_pixels_arg) {
  const char* f = "node_banner";
  py::str node_id = require_str({f, "node_id"}, node_id_arg);
  py::list node_classes = require_list({f, "node_classes"}, node_classes_arg);
  py::int_ num_classes = require_int({f, "num_classes"}, num_classes_arg);
  py::int_ epochs = require_int({f, "epochs"}, epochs_arg);
  py::int_ num_forests = require_int({f, "num_forests"}, num_forests_arg);
  py::str loss_type = require_str({f, "loss_type"}, loss_type_arg);
  py::float_ focal_gamma = require_real({f, "focal_gamma"}, focal_gamma_arg);
  py::int_ train_pixels = require_int({f, "train_pixels"}, train_pixels_arg);
  py::int_ val_pixels = require_int({f, "val_pixels"}, val_pixels_arg);
  const Namespace& g = ns();

  bool focal = loss_type.contains(py::str("focal"));
  py::str loss_str = focal ? cat({loss_type, " \u03b3=", focal_gamma}) : loss_type;
  py::str separator = cat({g["BOLD"], g["MAGENTA"], repeat("\u2550", 60), g["RESET"]});

  py::list lines;
  lines.append(py::str(""));
  lines.append(separator);
  lines.append(cat({"  ", g["BOLD"], "Node", g["RESET"], " ", g["CYAN"], "'", node_id, "'", g["RESET"]}));
  lines.append(cat({"  Classes       : ", node_classes}));
  lines.append(cat({"  Local classes : ", num_classes - py::int_(1), "   Epochs: ", epochs,
                    "   Ensembles: ", num_forests, "   Loss: ", loss_str}));
  lines.append(cat({"  Train pixels  : ", train_pixels, "   Val pixels: ", val_pixels}));
  lines.append(separator);
  return py::str("\n").attr("join")(lines);
}

}  // namespace

void register_forest_banner(py::module_& m) {
  def_function(m, "forest_banner", "(forest_idx, num_forests, seed, node_id)", nullptr,
               &forest_banner, py::arg("forest_idx"), py::arg("num_forests"), py::arg("seed"),
               py::arg("node_id"));
}

void register_node_banner(py::module_& m) {
  def_function(m, "node_banner",
               "(node_id, node_classes, num_classes, epochs, num_forests, loss_type, focal_gamma, "
               "train_pixels, val_pixels)",
               nullptr, &node_banner, py::arg("node_id"), py::arg("node_classes"),
               py::arg("num_classes"), py::arg("epochs"), py::arg("num_forests"),
               py::arg("loss_type"), py::arg("focal_gamma"), py::arg("train_pixels"),
               py::arg("val_pixels"));
}

void register_forest_done_line(py::module_& m) {
  def_function(m, "forest_done_line",
               "(forest_idx, num_forests, best_miou, best_epoch, best_oa, best_aa, best_kappa, "
               "elapsed)",
               nullptr, &forest_done_line, py::arg("forest_idx"), py::arg("num_forests"),
               py::arg("best_miou"), py::arg("best_epoch"), py::arg("best_oa"),
               py::arg("best_aa"), py::arg("best_kappa"), py::arg("elapsed"));
}

// Each prints its picture as the module holds it at the moment of the call.
void register_stage_banners(py::module_& m) {
  static constexpr const char* kStages[][2] = {
      {"print_logo", "NIVRA_LOGO"},
      {"print_predict_start", "NIVRA_PREDICT"},
      {"print_visualize_start", "NIVRA_FLOWER"},
      {"print_training_start", "NIVRA_TRAINING"},
      {"print_training_done", "NIVRA_DONE"},
  };
  for (const auto& stage : kStages) {
    const char* art = stage[1];
    def_function(m, stage[0], "()", nullptr, [art]() { print_line(ns(), ns()[art]); });
  }
}

}  // namespace nivra::display
