// schtasks.exe: /query, /end, /delete and /create of tasks by name, kept in
// state\tasks.txt. Switches are taken in any letter case, as the real tool
// takes them.
#include <cstdio>
#include <map>
#include <optional>

#include "roles.h"
#include "standin_error.h"
#include "state_store.h"
#include "text.h"

namespace standin {

namespace {

constexpr std::string_view kHeader = "standin-tasks 1";
constexpr const char* kNoTask = "ERROR: The system cannot find the file specified.\r\n";

struct Task {
  std::string name;
  std::string command;  // /tr
};

std::vector<Task> loadTasks() {
  std::vector<Task> tasks;
  std::optional<std::string> text = readHostFile(statePath("tasks.txt"));
  if (!text) return tasks;
  std::size_t start = 0;
  bool first = true;
  while (start < text->size()) {
    std::size_t nl = text->find('\n', start);
    if (nl == std::string::npos) throw Refusal("tasks.txt: last line not ended");
    std::string_view line = std::string_view(*text).substr(start, nl - start);
    start = nl + 1;
    if (first) {
      if (line != kHeader) throw Refusal("tasks.txt: not a stand-in task list");
      first = false;
      continue;
    }
    std::vector<std::string_view> f = splitTabs(line);
    Task t;
    if (f.size() != 3 || f[0] != "T" || !unescapeField(f[1], t.name) || !unescapeField(f[2], t.command)) {
      throw Refusal("tasks.txt: bad line \"" + std::string(line) + "\"");
    }
    tasks.push_back(std::move(t));
  }
  return tasks;
}

void saveTasks(const std::vector<Task>& tasks) {
  std::string out = std::string(kHeader) + "\n";
  for (const Task& t : tasks) out += "T\t" + escapeField(t.name) + "\t" + escapeField(t.command) + "\n";
  writeHostFileAtomically(statePath("tasks.txt"), out);
}

// Task names live in the root folder "\"; a leading '\' names it.
std::string taskName(const std::string& given) {
  std::string_view n = given;
  if (!n.empty() && n[0] == '\\') n.remove_prefix(1);
  if (n.empty() || n.find('\\') != std::string_view::npos) {
    throw Refusal("task name \"" + given + "\" is not a name in the root folder");
  }
  return std::string(n);
}

Task* findTask(std::vector<Task>& tasks, const std::string& name) {
  for (Task& t : tasks) {
    if (equalsOrdinalIgnoreCase(t.name, name)) return &t;
  }
  return nullptr;
}

// Switches after the operation: each once; `valued` take one argument.
std::map<std::string, std::string> parseSwitches(const Args& args, std::initializer_list<std::string_view> valued,
                                                 std::initializer_list<std::string_view> flags) {
  std::map<std::string, std::string> out;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string sw = lowerAscii(args[i]);
    bool isValued = false;
    bool isFlag = false;
    for (std::string_view v : valued) isValued = isValued || sw == v;
    for (std::string_view f : flags) isFlag = isFlag || sw == f;
    if (!isValued && !isFlag) throw Refusal("unexpected argument \"" + args[i] + "\"");
    if (out.count(sw)) throw Refusal("switch " + args[i] + " given twice");
    if (isValued) {
      if (i + 1 >= args.size()) throw Refusal("switch " + args[i] + " needs a value");
      out[sw] = args[++i];
    } else {
      out[sw] = "";
    }
  }
  if (!out.count("/tn")) throw Refusal("/tn is required");
  return out;
}

std::string padded(std::string_view s, std::size_t width) {
  std::string out(s);
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

}  // namespace

int runSchtasks(const Args& args) {
  if (args.empty()) throw Refusal("expected an operation");
  std::string op = lowerAscii(args[0]);
  std::map<std::string, std::string> sw;
  if (op == "/query" || op == "/end") {
    sw = parseSwitches(args, {"/tn"}, {});
  } else if (op == "/delete") {
    sw = parseSwitches(args, {"/tn"}, {"/f"});
    if (!sw.count("/f")) throw Refusal("/delete without /f would ask for confirmation");
  } else if (op == "/create") {
    sw = parseSwitches(args, {"/tn", "/tr", "/sc", "/st", "/sd", "/mo", "/ru", "/rl"}, {"/f"});
  } else {
    throw Refusal("unsupported operation \"" + args[0] + "\"");
  }
  std::string name = taskName(sw["/tn"]);

  StateLock lock;
  std::vector<Task> tasks = loadTasks();
  Task* task = findTask(tasks, name);
  if (op == "/create") {
    if (task && !sw.count("/f")) {
      std::fputs("ERROR: Cannot create a file when that file already exists.\r\n", stderr);
      return 1;
    }
    if (task) {
      task->command = sw["/tr"];
    } else {
      tasks.push_back(Task{name, sw["/tr"]});
    }
    saveTasks(tasks);
    std::printf("SUCCESS: The scheduled task \"%s\" has successfully been created.\r\n", name.c_str());
    return 0;
  }
  if (!task) {
    std::fputs(kNoTask, stderr);
    return 1;
  }
  if (op == "/query") {
    std::string out = "\r\nFolder: \\\r\n";
    out += padded("TaskName", 41) + padded("Next Run Time", 23) + padded("Status", 15) + "\r\n";
    out += std::string(40, '=') + " " + std::string(22, '=') + " " + std::string(15, '=') + "\r\n";
    out += padded(task->name, 41) + padded("N/A", 23) + padded("Ready", 15) + "\r\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  } else if (op == "/end") {
    std::printf("SUCCESS: The scheduled task \"%s\" has been terminated successfully.\r\n", task->name.c_str());
  } else {
    std::string shown = task->name;
    std::erase_if(tasks, [&](const Task& t) { return equalsOrdinalIgnoreCase(t.name, name); });
    saveTasks(tasks);
    std::printf("SUCCESS: The scheduled task \"%s\" was successfully deleted.\r\n", shown.c_str());
  }
  return 0;
}

}  // namespace standin
