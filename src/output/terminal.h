#pragma once
// Whether the program talks to a person: a prompt or a progress line is only for a
// terminal. Kept with the output layer so the front doors stay free of platform calls.

namespace velk {

enum class StandardStream { Input, Output, Error };

bool isTerminal(StandardStream stream);

}  // namespace velk
