#pragma once
// Windows command lines: splitting one into arguments by the rules of the
// C runtime's argument parser, and building one from arguments so that the
// parser gives them back unchanged.
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tl {

// Position in a command line being split. The first argument is the program
// name, which has rules of its own.
struct CommandLineCursor {
  explicit CommandLineCursor(std::u16string_view text) : rest(text) {}
  std::u16string_view rest;
  bool atProgramName = true;
};

// Takes the next argument into arg; false when none is left. The program
// name always exists (it may be empty).
//  - Program name: up to the first space or tab outside double quotes; the
//    quotes only group and are dropped; backslashes are plain characters.
//  - Other arguments are separated by spaces and tabs. A double quote starts
//    or ends a quoted part; inside one, two double quotes in a row give one
//    literal quote and the part goes on. 2n backslashes before a quote give n
//    backslashes and the quote acts as above; 2n+1 give n backslashes and a
//    literal quote. Backslashes before anything else are taken as they are.
bool nextCommandLineArg(CommandLineCursor& cursor, std::u16string& arg);

std::vector<std::u16string> splitCommandLine(std::u16string_view text);
// The same rules over UTF-8/WTF-8 bytes (every special character is ASCII,
// so no decoding is needed and the bytes pass unchanged).
std::vector<std::string> splitCommandLineUtf8(std::string_view text);

// One argument as it must be written so that the parser reads it back: as it
// is when it is not empty and holds no space, tab or double quote; otherwise
// in double quotes, each embedded quote escaped with a backslash and the
// backslashes before it (and before the closing quote) doubled.
std::string quoteWindowsArg(std::string_view arg);
// The whole command line, arguments separated by one space. The first
// element is written by the program-name rule: quoted when it is empty or
// holds a space or tab, backslashes untouched. A double quote cannot be part
// of a program name (nor of any Windows file name) and is left out of it.
// An argument holding a NUL byte is ArgumentContainsNul.
[[nodiscard]] Result<std::string> buildCommandLine(const std::vector<std::string>& argv);
std::u16string buildCommandLineUtf16(const std::vector<std::u16string>& argv);

}  // namespace tl
