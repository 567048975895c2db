#pragma once
// The question asked before a recovered file replaces an existing one. The desktop app
// shows its dialog; the command line answers from --overwrite or a terminal prompt.

#include <functional>
#include <string>

namespace velk {

enum class OverwriteChoice : int { Cancel = 0, Yes = 1, YesToAll = 2, No = 3 };

// Called with the existing target's file name; must be callable from a worker thread.
using OverwriteQuestion = std::function<OverwriteChoice(const std::string& fileName)>;

}  // namespace velk
