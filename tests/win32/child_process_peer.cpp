// The program the child-process tests run in the debug bridge's place, doing on purpose what a
// bridge command might. Usage:
//   child_process_peer hang FILE     writes its process id into FILE and never ends
//   child_process_peer set-event H   sets the event whose handle value is H (decimal), as it would
//                                    had it inherited it; prints "set" or "refused"
//   child_process_peer echo WORDS... prints the words
// Exit codes: 0 done, 2 bad arguments.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (std::strcmp(argv[1], "hang") == 0 && argc == 3) {
    HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    const std::string id = std::to_string(GetCurrentProcessId());
    DWORD written = 0;
    WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    CloseHandle(file);
    Sleep(INFINITE);
    return 0;
  }
  if (std::strcmp(argv[1], "set-event") == 0 && argc == 3) {
    const auto event = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoul(argv[2], nullptr, 10)));
    Print(SetEvent(event) ? "set" : "refused");
    return 0;
  }
  if (std::strcmp(argv[1], "echo") == 0) {
    std::string words;
    for (int i = 2; i < argc; ++i) words += (i > 2 ? " " : "") + std::string(argv[i]);
    Print(words);
    return 0;
  }
  return 2;
}
