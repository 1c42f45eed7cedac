#include "update/apply/update_result.h"

#include "common/atomic_write.h"
#include "common/json_writer.h"
#include "common/out_of_memory.h"

namespace tl {

namespace {

// A member line's start: the separator after the previous member (none
// right after the opening line), two spaces, the quoted key, a colon and a
// space.
void appendMemberStart(std::string& out, std::string_view key) {
  if (out.back() != '\n') out += ",\n";
  out += "  ";
  json::appendQuoted(out, key);
  out += ": ";
}

void appendTextMember(std::string& out, std::string_view key, std::string_view value) {
  appendMemberStart(out, key);
  json::appendQuoted(out, value);
}

}  // namespace

std::string_view updatePhaseName(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::waitingForParent:
      return "waiting_for_parent";
    case UpdatePhase::extracting:
      return "extracting";
    case UpdatePhase::validatingPayload:
      return "validating_payload";
    case UpdatePhase::swapping:
      return "swapping";
    case UpdatePhase::integrating:
      return "integrating";
    case UpdatePhase::launching:
      return "launching";
    case UpdatePhase::complete:
      return "complete";
    default:
      return "validating";
  }
}

std::string formatUpdateResult(const UpdatePlan& plan, bool success, UpdatePhase phase, std::string_view message) {
  std::string out = "{\n";
  appendMemberStart(out, "schema_version");
  out += '1';
  appendTextMember(out, "transaction_id", plan.transaction_id);
  appendMemberStart(out, "success");
  out += success ? "true" : "false";
  appendTextMember(out, "phase", updatePhaseName(phase));
  appendTextMember(out, "message", message);
  appendTextMember(out, "identifier", plan.identifier);
  appendTextMember(out, "channel", plan.channel);
  appendTextMember(out, "version", plan.version);
  appendTextMember(out, "hash", plan.hash);
  out += "\n}";
  return out;
}

Status writeUpdateResult(std::string_view resultPath, const UpdatePlan& plan, bool success, UpdatePhase phase,
                         std::string_view message) {
  // A value, not a throw: the failure roads that write a result go on after it.
  const std::string text = TRY(catchingOutOfMemory(
      [&]() -> Result<std::string> { return formatUpdateResult(plan, success, phase, message); }));
  return writeFileAtomically(resultPath, text);
}

}  // namespace tl
