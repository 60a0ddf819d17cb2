// The reference host: its command and option parsing and the printing of every callback, then
// kavex-host.exe itself run as a child process against engine-simdrivers.dll and engine.dll.
// Runs in bin/, next to the host and both engines.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "callback_text.h"
#include "export_list.h"
#include "host_command.h"
#include "host_events.h"
#include "host_log.h"
#include "host_options.h"
#include "kavex_engine.h"
#include "passcode_desk.h"
#include "passcode_file.h"

namespace kavexhost {
namespace {

// ---- commands -------------------------------------------------------------------------------

HostCommand MustParse(const std::string& line) {
  const ParsedLine parsed = ParseCommandLine(line);
  EXPECT_EQ(parsed.status, ParseStatus::kCommand) << line << ": " << parsed.error;
  return parsed.command;
}

std::string ErrorOf(const std::string& line) {
  const ParsedLine parsed = ParseCommandLine(line);
  EXPECT_EQ(parsed.status, ParseStatus::kError) << line;
  return parsed.error;
}

TEST(HostCommandParser, EveryCommandCarriesItsArguments) {
  HostCommand c = MustParse("select 2 -1\r");
  EXPECT_EQ(c.kind, CommandKind::kSelect);
  EXPECT_EQ(c.camera, 2);
  EXPECT_EQ(c.key, "-1");

  c = MustParse("format 1 10");
  EXPECT_EQ(c.kind, CommandKind::kFormat);
  EXPECT_EQ(c.camera, 1);
  EXPECT_EQ(c.first, 10);

  c = MustParse("  blank\t1 ");
  EXPECT_EQ(c.kind, CommandKind::kBlank);
  EXPECT_EQ(c.first, 1);

  c = MustParse("button 3 -2147483648 2147483647");
  EXPECT_EQ(c.kind, CommandKind::kButton);
  EXPECT_EQ(c.camera, 3);
  EXPECT_EQ(c.first, INT32_MIN);
  EXPECT_EQ(c.second, INT32_MAX);

  c = MustParse("focus 0 0.25 -1.5e-3 255");
  EXPECT_EQ(c.kind, CommandKind::kFocus);
  EXPECT_FLOAT_EQ(c.x, 0.25f);
  EXPECT_FLOAT_EQ(c.y, -0.0015f);
  EXPECT_EQ(c.first, 255);

  c = MustParse("focus-distance 1 2 0.75");
  EXPECT_EQ(c.kind, CommandKind::kFocusDistance);
  EXPECT_EQ(c.camera, 1);
  EXPECT_EQ(c.first, 2);
  EXPECT_FLOAT_EQ(c.x, 0.75f);

  c = MustParse("active 3");
  EXPECT_EQ(c.kind, CommandKind::kActive);
  EXPECT_EQ(c.camera, 3);
  EXPECT_EQ(MustParse("active none").camera, -1);

  EXPECT_EQ(MustParse("refresh").kind, CommandKind::kRefresh);
  c = MustParse("preview Z:/tmp/p.png");
  EXPECT_EQ(c.kind, CommandKind::kPreview);
  EXPECT_EQ(c.key, "Z:/tmp/p.png");
  EXPECT_EQ(c.first, kDefaultPreviewRenders);
  EXPECT_EQ(MustParse("preview p.png 10").first, 10);
  EXPECT_EQ(MustParse("help").kind, CommandKind::kHelp);
  EXPECT_EQ(MustParse("quit\r").kind, CommandKind::kQuit);
}

TEST(HostCommandParser, BlankAndCommentLinesAreNotCommands) {
  for (const char* line : {"", "   ", "\t\r", "# a note", "#quit"}) {
    EXPECT_EQ(ParseCommandLine(line).status, ParseStatus::kEmpty) << line;
  }
}

TEST(HostCommandParser, MistakesAreRefusedWithTheReason) {
  EXPECT_NE(ErrorOf("jump 1").find("unknown command \"jump\""), std::string::npos);
  EXPECT_NE(ErrorOf("select 0").find("usage: select CAM KEY"), std::string::npos);
  EXPECT_NE(ErrorOf("quit now").find("usage: quit"), std::string::npos);
  EXPECT_NE(ErrorOf("button 0 4 1 9").find("usage: button"), std::string::npos);
  // Cameras are 0-3, whole numbers only.
  EXPECT_NE(ErrorOf("active 4").find("camera must be 0 to 3"), std::string::npos);
  EXPECT_NE(ErrorOf("format -1 0").find("camera"), std::string::npos);
  EXPECT_NE(ErrorOf("button 1x 4 1").find("camera"), std::string::npos);
  EXPECT_NE(ErrorOf("format 0 11").find("format must be an integer from 0 to 10"), std::string::npos);
  EXPECT_NE(ErrorOf("blank 2").find("blank"), std::string::npos);
  EXPECT_NE(ErrorOf("focus 0 0.5 0.5 256").find("flag"), std::string::npos);
  EXPECT_NE(ErrorOf("button 0 2147483648 1").find("code"), std::string::npos);
  EXPECT_NE(ErrorOf("button 0 4 0x10").find("value"), std::string::npos);
  // Non-finite floats would reach the phone as NaN or infinity.
  EXPECT_NE(ErrorOf("focus 0 nan 0.5 1").find("x must be a finite number"), std::string::npos);
  EXPECT_NE(ErrorOf("focus-distance 0 1 inf").find("distance"), std::string::npos);
  EXPECT_NE(ErrorOf("focus 0 0.5 1e99 1").find("y"), std::string::npos);
  EXPECT_NE(ErrorOf("preview").find("usage: preview FILE [RENDERS]"), std::string::npos);
  EXPECT_NE(ErrorOf("preview p.png 0").find("renders must be an integer from 1 to 100"), std::string::npos);
  // The first mistake is the one reported.
  EXPECT_NE(ErrorOf("button 9 x y").find("camera"), std::string::npos);
}

TEST(HostCommandParser, CommandsAreEchoedReadably) {
  EXPECT_EQ(DescribeCommand(MustParse("button 0 4 1")), "button cam0 code 4 value 1");
  EXPECT_EQ(DescribeCommand(MustParse("focus 1 0.5 0.25 255")), "focus cam1 at 0.5 0.25 flag 255");
  EXPECT_EQ(DescribeCommand(MustParse("focus-distance 2 1 0.1")), "focus-distance cam2 mode 1 distance 0.1");
  EXPECT_EQ(DescribeCommand(MustParse("select 0 1852794992")), "select cam0 key \"1852794992\"");
  EXPECT_EQ(DescribeCommand(MustParse("active none")), "active none");
  EXPECT_EQ(DescribeCommand(MustParse("blank 0")), "blank 0");
  EXPECT_EQ(DescribeCommand(MustParse("format 3 4")), "format cam3 4");
}

// ---- options --------------------------------------------------------------------------------

OptionsResult Options(std::vector<std::string> args) { return ParseHostOptions(args); }

TEST(HostOptionsParser, DefaultsAndEveryOption) {
  OptionsResult result = Options({});
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.options.dll, "engine.dll");
  EXPECT_EQ(result.options.cameras, 1);
  EXPECT_EQ(result.options.formatChoice, 0);
  EXPECT_EQ(result.options.durationSeconds, 0.0);
  EXPECT_FALSE(result.options.quiet);

  result = Options({"--dll", "engine-simdrivers.dll", "--cameras", "4", "--format-choice", "10", "--passcode-file",
                    "codes.txt", "--duration", "2.5", "--quiet", "--events", "ev.txt", "--exports", "engine.def"});
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.options.dll, "engine-simdrivers.dll");
  EXPECT_EQ(result.options.cameras, 4);
  EXPECT_EQ(result.options.formatChoice, 10);
  EXPECT_EQ(result.options.passcodeFile, "codes.txt");
  EXPECT_EQ(result.options.eventsFile, "ev.txt");
  EXPECT_EQ(result.options.exportsFile, "engine.def");
  EXPECT_EQ(result.options.durationSeconds, 2.5);
  EXPECT_TRUE(result.options.quiet);
  EXPECT_TRUE(Options({"--help"}).options.help);
}

TEST(HostOptionsParser, BadValuesAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--cameras", "0"},        {"--cameras", "5"},  {"--cameras", "two"}, {"--format-choice", "11"},
      {"--format-choice", "-1"}, {"--duration", "0"}, {"--duration", "-3"}, {"--duration", "nan"},
      {"--duration", "5s"},      {"--dll", ""},       {"--cameras"},        {"--loud"},
      {"--events", ""},          {"--exports", ""},
  };
  for (const auto& args : bad) {
    const OptionsResult result = Options(args);
    EXPECT_FALSE(result.ok) << args[0];
    EXPECT_NE(result.error.find(args[0]), std::string::npos) << result.error;
  }
}

// ---- --exports --------------------------------------------------------------------------------

TEST(ExportList, NamesAreTheExportedOnesWithoutInternalOrImportNames) {
  const ExportListResult list = ParseExportList(
      "; engine.dll\r\nLIBRARY engine.dll\r\nEXPORTS\r\n    EInitialize\r\n\r\n"
      "    _SetSize@8 = SetSize@8 ; the preview\r\n    SetAlpha@4 == _SetAlpha@4\r\n"
      "    plist_new_dict @12 NONAME\r\n");
  ASSERT_TRUE(list.ok) << list.error;
  EXPECT_EQ(list.names, (std::vector<std::string>{"EInitialize", "_SetSize@8", "_SetAlpha@4", "plist_new_dict"}));
}

TEST(ExportList, AFileWithoutExportsIsRefused) {
  EXPECT_FALSE(ParseExportList("").ok);
  EXPECT_FALSE(ParseExportList("LIBRARY engine.dll\nEInitialize\n").ok);
  EXPECT_FALSE(ParseExportList("EXPORTS\n; nothing\n").ok);
  EXPECT_FALSE(ParseExportList("EXPORTS\n  =SetSize@8\n").ok);
}

// ---- printing -------------------------------------------------------------------------------

TEST(CallbackText, PhoneStatesAreNamedAsTheHeaderNumbersThem) {
  EXPECT_EQ(StateText(0, KAVEX_PHONE_IDLE), "cam0 state Idle");
  EXPECT_EQ(StateText(1, KAVEX_PHONE_FAILED), "cam1 state Failed");
  EXPECT_EQ(StateText(2, KAVEX_PHONE_CONNECTING), "cam2 state Connecting");
  EXPECT_EQ(StateText(3, KAVEX_PHONE_STREAMING), "cam3 state Streaming");
  EXPECT_EQ(StateText(0, KAVEX_PHONE_PASSCODE_NEEDED), "cam0 state PasscodeNeeded");
  EXPECT_EQ(StateText(0, 7), "cam0 state 7 (unknown)");
  EXPECT_EQ(StateText(0, -1), "cam0 state -1 (unknown)");
  EXPECT_EQ(OpenResultText(0, 0), "cam0 open result 0 (ok)");
  EXPECT_EQ(OpenResultText(2, -1), "cam2 open result -1 (failed)");
}

TEST(CallbackText, EveryCallbackPrintsItsArguments) {
  EXPECT_EQ(PhoneControlText(0, 4, 0xbf800000u), "cam0 phone control 4 3212836864 (0x00000004 0xbf800000)");
  EXPECT_EQ(VideoSizeText(1, 1280, 720), "cam1 video size 1280 x 720");
  EXPECT_EQ(PhoneListText(0, 0, "1852794992", "Video Phone [WiFi]", 1),
            "cam0 phone list 0: key \"1852794992\" name \"Video Phone [WiFi]\" selected");
  EXPECT_EQ(PhoneListText(2, 1, "-1", "", 0), "cam2 phone list 1: key \"-1\" name \"\"");
  EXPECT_EQ(Message19Text(0, 1, -2, 3, INT32_MIN), "cam0 message 19: 1 -2 3 -2147483648");
  EXPECT_EQ(Message20Text(0, 0.5f, -1.25f, 0.1f, 7), "cam0 message 20: 0.5 -1.25 0.1 7");
  EXPECT_EQ(Message21Text(3, 0.0f, 1e-7f, 3.0e9f, -0.0005f), "cam3 message 21: 0 1e-07 3e+09 -0.0005");
  EXPECT_EQ(Message22Text(1, 0, 0, 0, -1), "cam1 message 22: 0 0 0 -1");
  EXPECT_EQ(Message25Text(0, 2, 0.25f), "cam0 message 25: 2 0.25");
  EXPECT_EQ(TextListText(0, "Wide", 5), "cam0 text list \"Wide\" value 5");
  EXPECT_EQ(TextListText(0, nullptr, 0), "cam0 text list (null) value 0");

  const uint8_t id[16] = {0x70, 0x68, 0x6f, 0x6e, 0x65, 0x2d, 0x73, 0x69,
                          0x6d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
  EXPECT_EQ(PasscodeKeyText(0, id, "Locked", 0),
            "cam0 passcode key for \"Locked\" id 70686f6e652d73696d00000000000002: none");
  EXPECT_EQ(PasscodeKeyText(1, id, "Locked", 0x0123456789abcdefULL),
            "cam1 passcode key for \"Locked\" id 70686f6e652d73696d00000000000002: 0x0123456789abcdef");
}

TEST(CallbackText, FormatChoiceShowsTheListAndTheAnswer) {
  const char* formats =
      "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/"
      "3840 x 2160";
  EXPECT_EQ(FormatChoiceText(0, formats, 4), std::string("cam0 format choice \"") + formats + "\" -> 4 (1280 x 720)");
  EXPECT_NE(FormatChoiceText(0, formats, 0).find("-> 0 (Automatic)"), std::string::npos);
  EXPECT_NE(FormatChoiceText(0, formats, 8).find("-> 8 (3840 x 2160)"), std::string::npos);
  // Portrait sizes are offered only sometimes: an answer beyond the list says so.
  EXPECT_NE(FormatChoiceText(0, formats, 9).find("-> 9 (not listed)"), std::string::npos);
  EXPECT_EQ(FormatListItem("a/b/c", 2), "c");
  EXPECT_EQ(FormatListItem("a//c", 1), "");
  EXPECT_EQ(FormatListItem("a/b/c", -1), "");
  EXPECT_EQ(FormatListItem("", 0), "");
}

TEST(CallbackText, TextsStayOnOneLine) {
  EXPECT_EQ(Quoted("plain"), "\"plain\"");
  EXPECT_EQ(Quoted("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
  EXPECT_EQ(Quoted("two\nlines\r\t\x7f"), "\"two\\x0alines\\x0d\\x09\\x7f\"");
  EXPECT_EQ(Quoted("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // UTF-8 passes
  EXPECT_EQ(Quoted(nullptr), "(null)");
}

TEST(CallbackText, NumbersAndIdentifiers) {
  // Floats print short but read back exactly.
  EXPECT_EQ(FloatText(0.5f), "0.5");
  EXPECT_EQ(FloatText(-1.0f), "-1");
  EXPECT_EQ(FloatText(16777217.0f), "16777216");
  const float awkward = 0.1f + 0.2f;
  EXPECT_EQ(std::strtof(FloatText(awkward).c_str(), nullptr), awkward);
  // The engine lists a phone under its first four identifier bytes, little-endian and signed.
  PhoneId id{};
  id[0] = 0x70;
  id[1] = 0x68;
  id[2] = 0x6f;
  id[3] = 0x6e;
  EXPECT_EQ(PhoneKeyText(id), "1852794992");
  id[0] = id[1] = id[2] = id[3] = 0xff;
  EXPECT_EQ(PhoneKeyText(id), "-1");
  id[0] = 0;
  id[1] = 0;
  id[2] = 0;
  id[3] = 0x80;
  EXPECT_EQ(PhoneKeyText(id), "-2147483648");
  EXPECT_EQ(PhoneIdHex(id.data()), "00000080000000000000000000000000");
}

TEST(HostLogTest, TimestampsHaveThreeDecimals) {
  EXPECT_EQ(TimestampPrefix(0.0), "[  0.000]");
  EXPECT_EQ(TimestampPrefix(1.2344), "[  1.234]");
  EXPECT_EQ(TimestampPrefix(12.3456), "[ 12.346]");
  EXPECT_EQ(TimestampPrefix(1234.5), "[1234.500]");
}

std::vector<std::string> ReadLines(std::FILE* file) {
  std::rewind(file);
  std::vector<std::string> lines;
  std::string line;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

TEST(HostLogTest, LinesFromManyThreadsStayWholeAndInTimeOrder) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    HostLog log(file, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) {
          log.Event("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(100, 'a' + t));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  const std::vector<std::string> lines = ReadLines(file);
  std::fclose(file);
  ASSERT_EQ(lines.size(), 800u);
  const std::regex shape(R"(\[ *([0-9]+\.[0-9]{3})\] thread ([0-3]) line [0-9]+ ([a-d])+)");
  double last = 0.0;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    EXPECT_EQ(match[3].str()[0], 'a' + (match[2].str()[0] - '0')) << line;
    const double time = std::stod(match[1].str());
    EXPECT_GE(time, last);
    last = time;
  }
}

TEST(HostLogTest, QuietKeepsOnlyEvents) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  HostLog log(file, true);
  log.Info("loaded");
  log.Event("cam0 state Idle");
  const std::vector<std::string> lines = ReadLines(file);
  std::fclose(file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("] cam0 state Idle"), std::string::npos);
}

// ---- passcodes ------------------------------------------------------------------------------

TEST(PasscodeFileTest, NamedEntriesFirstEachUsedOnce) {
  PasscodeFile file;
  file.LoadText("# codes\r\n1111\r\nLocked Phone=2222\n\nKitchen=a=b\nLocked Phone=3333\n");
  EXPECT_EQ(file.Remaining(), 4u);
  EXPECT_EQ(file.Take("Locked Phone"), "2222");
  EXPECT_EQ(file.Take("Locked Phone"), "3333");
  EXPECT_EQ(file.Take("Locked Phone"), "1111");  // then the one for any phone
  EXPECT_EQ(file.Take("Locked Phone"), std::nullopt);
  EXPECT_EQ(file.Take("Kitchen=a"), "b");  // split at the last '='
  EXPECT_EQ(file.Remaining(), 0u);
  std::string error;
  EXPECT_FALSE(file.Load("no-such-passcode-file.txt", &error));
  EXPECT_NE(error.find("no-such-passcode-file.txt"), std::string::npos);
}

TEST(PasscodeDeskTest, UnknownPhoneIsAskedForOnce) {
  PasscodeDesk desk(5.0);
  const uint8_t id[16] = {1, 2, 3, 4};
  EXPECT_EQ(desk.KeyFor(0, id, "Locked", 1.0), 0u);
  EXPECT_EQ(desk.KeyFor(1, id, "Locked", 1.5), 0u);  // a second challenge: same request
  std::optional<PasscodeRequest> request = desk.NextRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->instance, 1);
  EXPECT_EQ(request->name, "Locked");
  EXPECT_FALSE(request->afterRefusal);
  EXPECT_FALSE(desk.NextRequest());
  // While the user is being asked, more challenges ask nothing new.
  EXPECT_EQ(desk.KeyFor(0, id, "Locked", 2.0), 0u);
  EXPECT_FALSE(desk.NextRequest());
  desk.StoreKey(request->id, 0xabcdef);
  EXPECT_EQ(desk.KeyFor(0, id, "Locked", 3.0), 0xabcdefu);
  desk.OnSessionProgress(0);
  desk.CheckAnswers(100.0);
  EXPECT_FALSE(desk.NextRequest()) << "an answer followed by progress was accepted";
  EXPECT_TRUE(desk.HasKey(request->id));
}

TEST(PasscodeDeskTest, AnswerWithoutProgressCountsAsRefused) {
  PasscodeDesk desk(5.0);
  const uint8_t id[16] = {9};
  desk.KeyFor(2, id, "Locked", 0.0);
  desk.StoreKey(desk.NextRequest()->id, 42);
  EXPECT_EQ(desk.KeyFor(2, id, "Locked", 10.0), 42u);
  desk.OnSessionProgress(1);  // another camera's progress says nothing about this one
  desk.CheckAnswers(14.9);
  EXPECT_FALSE(desk.NextRequest());
  desk.CheckAnswers(15.0);
  const std::optional<PasscodeRequest> again = desk.NextRequest();
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->afterRefusal);
  EXPECT_EQ(again->instance, 2);
  EXPECT_FALSE(desk.HasKey(again->id)) << "a refused key is not offered again";
  desk.Abandon(again->id);
  EXPECT_EQ(desk.KeyFor(2, id, "Locked", 20.0), 0u);
  EXPECT_TRUE(desk.NextRequest());
}

TEST(HostEventLines, SplitOnSpacesWithTheNameLast) {
  EXPECT_EQ(OpenResultEvent(2, -1), "open 2 -1");
  EXPECT_EQ(StateEvent(0, KAVEX_PHONE_STREAMING), "state 0 3");
  EXPECT_EQ(VideoSizeEvent(1, 1280, 720), "video-size 1 1280 720");
  EXPECT_EQ(FormatChoiceEvent(0, 4), "format-choice 0 4");
  EXPECT_EQ(PhoneEvent(0, 1, "18527 94992", "Video Phone [WiFi]", 1), "phone 0 1 1 18527_94992 Video Phone [WiFi]");
  EXPECT_EQ(PhoneEvent(3, 0, nullptr, "two\nlines", 0), "phone 3 0 0 - two lines");
}

// ---- kavex-host.exe against the real engines ---------------------------------------------------

struct HostRun {
  DWORD exitCode = 0xffffffff;
  double seconds = 0.0;
  std::vector<std::string> lines;  // stdout and stderr together
  std::string text;
};

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }

 private:
  HANDLE handle_;
};

// Runs kavex-host.exe with the arguments; input is written to its standard input, which is then
// closed. Gives up (and kills it) after timeoutSeconds.
HostRun RunHost(const std::string& arguments, const std::string& input, double timeoutSeconds = 90) {
  HostRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(outRead.out(), outWrite.out(), &inherit, 0) ||
      !CreatePipe(inRead.out(), inWrite.out(), &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    return run;
  }
  SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.get();
  startup.hStdOutput = outWrite.get();
  startup.hStdError = outWrite.get();
  std::string commandLine = "kavex-host.exe " + arguments;
  PROCESS_INFORMATION process{};
  const DWORD started = GetTickCount();
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    return run;
  }
  Handle processHandle(process.hProcess);
  Handle threadHandle(process.hThread);
  outWrite.Reset();
  inRead.Reset();
  DWORD written = 0;
  if (!input.empty()) WriteFile(inWrite.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  inWrite.Reset();  // end of input

  // The reader ends when every copy of the pipe's write end is closed: the host and anything it
  // left behind.
  std::thread reader([&run, &outRead] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outRead.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      run.text.append(buffer, got);
    }
  });
  if (WaitForSingleObject(processHandle.get(), static_cast<DWORD>(timeoutSeconds * 1000)) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "kavex-host " << arguments << " still runs after " << timeoutSeconds << " s";
    TerminateProcess(processHandle.get(), 99);
    WaitForSingleObject(processHandle.get(), INFINITE);
  }
  run.seconds = (GetTickCount() - started) / 1000.0;
  reader.join();
  GetExitCodeProcess(processHandle.get(), &run.exitCode);

  std::string line;
  for (char c : run.text) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      run.lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) run.lines.push_back(line);
  return run;
}

// The text after the timestamp of the first line whose text starts with prefix; "" if none.
std::string Find(const HostRun& run, const std::string& prefix) {
  static const std::regex stamped(R"(\[ *[0-9]+\.[0-9]{3}\] (.*))");
  for (const std::string& line : run.lines) {
    std::smatch match;
    if (std::regex_match(line, match, stamped) && match[1].str().rfind(prefix, 0) == 0) {
      return match[1].str();
    }
  }
  return std::string();
}

// The index of the line whose text after the timestamp is exactly text; lines.size() if none.
size_t IndexOf(const HostRun& run, const std::string& text) {
  static const std::regex stamped(R"(\[ *[0-9]+\.[0-9]{3}\] (.*))");
  for (size_t i = 0; i < run.lines.size(); ++i) {
    std::smatch match;
    if (std::regex_match(run.lines[i], match, stamped) && match[1].str() == text) return i;
  }
  return run.lines.size();
}

void DeleteStoredError() { RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Kavex\\webcam", "erd"); }

TEST(HostProgram, OpensFourCamerasOfTheSimulatedDriversAndQuitsAtTheDuration) {
  std::remove("host-events.txt");
  const HostRun run = RunHost("--dll engine-simdrivers.dll --cameras 4 --duration 3 --events host-events.txt", "");
  ASSERT_EQ(run.exitCode, 0u) << run.text;
  // The same open results for scripts: "SECONDS open CAMERA RESULT", in index order.
  std::vector<std::string> events;
  if (std::FILE* file = std::fopen("host-events.txt", "rb")) {
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) events.emplace_back(line);
    std::fclose(file);
  }
  ASSERT_EQ(events.size(), 4u) << run.text;
  for (int camera = 0; camera < 4; ++camera)
    EXPECT_TRUE(
        std::regex_match(events[camera], std::regex("[0-9]+\\.[0-9]{3} open " + std::to_string(camera) + " 0\n")))
        << events[camera];
  EXPECT_GE(run.seconds, 3.0);
  EXPECT_NE(Find(run, "loaded "), "") << run.text;
  EXPECT_NE(Find(run, "loaded ").find("engine-simdrivers.dll: all 14 exports resolved"), std::string::npos);
  // Every open result, in index order, each on its own line.
  size_t previous = 0;
  for (int camera = 0; camera < 4; ++camera) {
    const std::string expected = "cam" + std::to_string(camera) + " open result 0 (ok)";
    EXPECT_EQ(Find(run, "cam" + std::to_string(camera) + " open result"), expected) << run.text;
    const size_t at = IndexOf(run, expected);
    EXPECT_GE(at, previous);
    previous = at;
  }
  EXPECT_NE(Find(run, "end of input: running until the duration ends"), "") << run.text;
  EXPECT_NE(Find(run, "duration of 3 s reached"), "") << run.text;
  EXPECT_LT(IndexOf(run, "duration of 3 s reached"), IndexOf(run, "cameras uninitialised"));
  EXPECT_LT(IndexOf(run, "cameras uninitialised"), IndexOf(run, "done"));
  EXPECT_LT(IndexOf(run, "done"), run.lines.size());
}

TEST(HostProgram, EngineWithoutVirtualDevicesReportsTheFailedOpen) {
  DeleteStoredError();
  const HostRun run = RunHost("--cameras 1 --duration 3", "");
  DeleteStoredError();  // the failed open leaves a record for the next phone
  ASSERT_EQ(run.exitCode, 0u) << run.text;
  EXPECT_NE(Find(run, "loaded ").find("engine.dll: all 14 exports"), std::string::npos) << run.text;
  EXPECT_EQ(Find(run, "cam0 open result"), "cam0 open result -1 (failed)") << run.text;
}

TEST(HostProgram, CommandsFromStandardInputReachTheEngineUntilQuit) {
  const std::string input =
      "help\n"
      "blank 1\n"
      "button 0 4 1\r\n"
      "focus 1 0.5 0.25 255\n"
      "focus-distance 0 1 0.75\n"
      "format 1 4\n"
      "active none\n"
      "select 0 1852794992\n"
      "refresh\n"
      "preview no-display.png 1\n"
      "# a comment\n"
      "button 3 4 1\n"
      "jump\n"
      "quit\n"
      "blank 0\n";  // after quit: never read
  const HostRun run = RunHost("--dll engine-simdrivers.dll --cameras 2 --duration 60", input);
  ASSERT_EQ(run.exitCode, 0u) << run.text;
  EXPECT_LT(run.seconds, 45.0) << "quit ends the run, not the duration";
  for (const char* echoed : {"> help", "> blank 1", "> button cam0 code 4 value 1", "> focus cam1 at 0.5 0.25 flag 255",
                             "> focus-distance cam0 mode 1 distance 0.75", "> format cam1 4", "> active none",
                             "> select cam0 key \"1852794992\"", "> refresh", "> quit"}) {
    EXPECT_NE(Find(run, echoed), "") << echoed << "\n" << run.text;
  }
  EXPECT_NE(Find(run, "quit               "), "") << "help lists the commands";
  EXPECT_EQ(Find(run, "error: no camera"), "error: no camera 3 (--cameras 2)");
  EXPECT_NE(Find(run, "error: unknown command \"jump\""), "");
  // Wine's display here has no Direct3D: the preview says so and the host goes on.
  EXPECT_NE(Find(run, "preview: no preview surface (GetBackBufferNoRef 0x8"), "") << run.text;
  EXPECT_EQ(Find(run, "> blank 0"), "");
  EXPECT_LT(IndexOf(run, "> quit"), IndexOf(run, "quit"));
  EXPECT_LT(IndexOf(run, "quit"), IndexOf(run, "cameras uninitialised"));
  EXPECT_LT(IndexOf(run, "cameras uninitialised"), run.lines.size());
  EXPECT_EQ(Find(run, "duration of"), "");
}

TEST(HostProgram, QuietPrintsOnlyTheCallbacks) {
  const HostRun run = RunHost("--dll engine-simdrivers.dll --cameras 2 --duration 2 --quiet", "");
  ASSERT_EQ(run.exitCode, 0u) << run.text;
  ASSERT_EQ(run.lines.size(), 2u) << run.text;
  EXPECT_EQ(Find(run, "cam0 open result"), "cam0 open result 0 (ok)");
  EXPECT_EQ(Find(run, "cam1 open result"), "cam1 open result 0 (ok)");
}

TEST(HostProgram, AnEngineThatLacksExportsIsRefusedByName) {
  char system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
  const std::string kernel32 = std::string(system) + "\\kernel32.dll";
  HostRun run = RunHost("--dll \"" + kernel32 + "\" --duration 2", "");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.text.find("kernel32.dll lacks the exports EInitialize, EOpen, EUninitialize, "
                          "SetCallback, SetIdleCallback, ButtonEvent, EFocus, EFocusDistance, "
                          "ESetActiveIdx, ESetBlank, ESetVideoFormat, ESelectPhone, ERefresh, "
                          "ESetPasscode"),
            std::string::npos)
      << run.text;

  run = RunHost("--dll no-such-engine.dll --duration 2", "");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.text.find("cannot load "), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("no-such-engine.dll"), std::string::npos);

  run = RunHost("--cameras 5", "");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_NE(run.text.find("bad value for --cameras"), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("usage: kavex-host"), std::string::npos);

  run = RunHost("--passcode-file no-such-passcodes.txt", "");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_NE(run.text.find("cannot read the passcode file"), std::string::npos) << run.text;
}

}  // namespace
}  // namespace kavexhost
