#pragma once
#include <string>
#include <vector>

namespace phonesim {

class Simulator;

// One command line of the control channel or of a script, and its reply.
struct Reply {
  std::vector<std::string> lines;  // one line, or the lines of a multi-line reply
  bool multiLine = false;          // the lines are followed by a "." line
  bool closeClient = false;        // `quit`
  bool failed = false;             // err or timeout (scripts stop on it)
};

// Splits a command line into words: blanks separate, double quotes group, backslash escapes
// inside quotes. False on an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words);

Reply Execute(Simulator& sim, const std::string& line);

// The lines a reply puts on the wire, terminator included.
std::vector<std::string> ReplyLines(const Reply& reply);

}  // namespace phonesim
