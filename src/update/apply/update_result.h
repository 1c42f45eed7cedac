#pragma once
// The outcome of an update application, published for the application's
// updater at the plan's result_path
// (<channel root>\.tamberlock-update-<id>.result.json), and the phase names
// it reports.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "update/apply/update_plan.h"

namespace tl {

// How far an update application got. The values are the file's, not the
// order in which the transaction enters them (extracting and
// validatingPayload come before waitingForParent).
enum class UpdatePhase : std::uint8_t {
  validating = 0,
  waitingForParent = 1,
  extracting = 2,
  validatingPayload = 3,
  swapping = 4,
  integrating = 5,
  launching = 6,
  complete = 7,
};

// "validating", "waiting_for_parent", ... "complete"; a value outside 1 to 7
// is "validating".
std::string_view updatePhaseName(UpdatePhase phase);

inline constexpr std::string_view kUpdateSuccessMessage = "Update applied successfully.";

// The file's exact text: "{", one member a line indented by two spaces
// ("key": value), "," ending every member line but the last, "}" without a
// line end. Nine members in order: schema_version 1, transaction_id,
// success, phase, message, identifier, channel, version, hash, the strings
// taken from the plan as it was read (checked or not). Strings escape '"',
// '\' and control bytes; other bytes stand as they are.
std::string formatUpdateResult(const UpdatePlan& plan, bool success, UpdatePhase phase, std::string_view message);

// Publishes the result in one rename (writeFileAtomically): a reader sees
// the old file or the whole new one. The message is kUpdateSuccessMessage
// or the bare name of the error that ended the attempt.
[[nodiscard]] Status writeUpdateResult(std::string_view resultPath, const UpdatePlan& plan, bool success,
                                       UpdatePhase phase, std::string_view message);

}  // namespace tl
