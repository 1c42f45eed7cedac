#pragma once
// Single-line diagnostics on standard error, written under one lock, and the
// bootstrap trace that names the current integration or bootstrap step.
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "common/error.h"

namespace tl {

// The process-wide standard-error lock; recursive, so a thread holding it may
// write a whole multi-piece line through helpers that lock again.
std::recursive_mutex& stderrMutex();

// One piece of a diagnostic line: text, or an error shown as "error.<Name>".
struct DiagPiece {
  DiagPiece(std::string_view t) : text(t) {}  // NOLINT: implicit by design
  DiagPiece(const std::string& t) : text(t) {}  // NOLINT
  DiagPiece(const char* t) : text(t) {}  // NOLINT
  DiagPiece(Error e) : isError(true), error(e) {}  // NOLINT
  std::string_view text;
  bool isError = false;
  Error error = Error::Unexpected;
};

// Writes the pieces in order under the lock. A failing write silently ends
// the line: diagnostics never change a role's outcome.
void writeDiag(std::initializer_list<DiagPiece> pieces);
// A whole line: the pieces and "\n".
void diagLine(std::initializer_list<DiagPiece> pieces);

// main's final line: "error: <Name>", coloured only on a colour console.
void logMainError(Error e);
void printInvalidInstallerError();

void setBootstrapTrace(bool on);
// Records the step; with the trace on, also prints "Bootstrap trace: <name>".
void markBootstrapStep(std::string_view name);
std::string currentBootstrapStep();
void printBootstrapFailure(Error e);

}  // namespace tl
