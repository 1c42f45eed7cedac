#include "common/diagnostics.h"

#include <atomic>
#include <set>

#include "platform/console.h"

namespace tl {

std::recursive_mutex& stderrMutex() {
  static std::recursive_mutex m;
  return m;
}

namespace {

// Appends the pieces of a line; errors appear as "error." and the name.
void appendPieces(std::string& out, std::initializer_list<DiagPiece> pieces) {
  for (const DiagPiece& p : pieces) {
    if (p.isError) {
      out += "error.";
      out += errorName(p.error);
    } else {
      out += p.text;
    }
  }
}

std::atomic<bool> g_trace{false};

// The current step: a pointer to an interned name, swapped in with one atomic
// store so readers never see a torn name. Interned names live as long as the
// process (step names are few and fixed), so a published pointer stays valid.
std::atomic<const std::string*> g_step{nullptr};

const std::string* internStepName(std::string_view name) {
  static std::mutex m;
  static std::set<std::string, std::less<>> names;
  std::lock_guard<std::mutex> lock(m);
  auto it = names.find(name);
  if (it == names.end()) it = names.emplace(name).first;
  return &*it;
}

}  // namespace

void writeDiag(std::initializer_list<DiagPiece> pieces) {
  std::string line;
  appendPieces(line, pieces);
  std::lock_guard<std::recursive_mutex> lock(stderrMutex());
  (void)console::writeStderr(line);
}

void diagLine(std::initializer_list<DiagPiece> pieces) {
  std::string line;
  appendPieces(line, pieces);
  line += '\n';
  std::lock_guard<std::recursive_mutex> lock(stderrMutex());
  (void)console::writeStderr(line);
}

void logMainError(Error e) {
  std::lock_guard<std::recursive_mutex> lock(stderrMutex());
  std::string line;
  if (console::stderrTakesColour()) {
    line = "\x1b[1;31merror\x1b[0m\x1b[1;2m: \x1b[0m";
  } else {
    line = "error: ";
  }
  line += errorName(e);
  line += '\n';
  (void)console::writeStderr(line);
}

void printInvalidInstallerError() { diagLine({"ERROR: Not a valid self-extracting installer"}); }

void setBootstrapTrace(bool on) { g_trace.store(on); }

void markBootstrapStep(std::string_view name) {
  g_step.store(internStepName(name));
  if (g_trace.load()) diagLine({"Bootstrap trace: ", name});
}

std::string currentBootstrapStep() {
  const std::string* s = g_step.load();
  return s ? *s : std::string();
}

void printBootstrapFailure(Error e) {
  std::string step = currentBootstrapStep();
  diagLine({"Bootstrap install failed during ", step, ": ", errorName(e)});
}

}  // namespace tl
