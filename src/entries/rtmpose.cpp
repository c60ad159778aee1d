#include "entries/entries.hpp"

namespace corvane::entries {

PyObject* rtmpose_postprocess(Call& call) {
  call.array<const float>("batch_pred_x");
  call.array<const float>("batch_pred_y");
  call.scale_pads("batch_scale_pad");
  not_implemented("rtmpose_postprocess");
}

}  // namespace corvane::entries
