// velmorix-cli as a process: exit statuses, what goes to stdout and stderr,
// the JSON records and the progress line on a terminal.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "cli/json.h"
#include "cli/progress.h"
#include "session_fixture.h"

namespace velmorix::cli {
namespace {

using session::testing::Mail;
using session::testing::TempFile;
using session::testing::TempPath;
namespace sb = storebuilder;
using Lines = std::vector<std::string>;

constexpr uid_t kNobody = 65534;

struct Result {
  int status = -1;
  std::string out, err;
};

struct How {
  std::string program = VELMORIX_CLI;
  std::string input = "/dev/null";  // stdin
  bool terminal = false;            // stderr is a pseudo-terminal
  bool asNobody = false;            // drop root before exec
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `program args...`; stdout and (unless on a terminal) stderr go to files.
Result RunCli(const Lines& args, const How& how = {}) {
  TempFile out(TempPath("stdout")), err(TempPath("stderr"));
  int master = -1, slave = -1;
  if (how.terminal) {
    struct winsize ws {};
    ws.ws_col = 100;
    ws.ws_row = 24;
    if (::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return {};
  }
  std::vector<std::string> argv{how.program};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(how.input.c_str(), O_RDONLY);
    const int o = ::open(out.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = how.terminal ? slave : ::open(err.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(126);
    if (how.asNobody && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(126);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  Result r;
  if (how.terminal) {
    ::close(slave);
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
      if (n > 0) r.err.append(buf, static_cast<size_t>(n));
    }
    ::close(master);  // read ends with EIO once the child has closed the terminal
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadFile(out.path());
  if (!how.terminal) r.err = ReadFile(err.path());
  return r;
}

Lines Split(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A small mailbox whose texts need care: quotes, backslashes, TABs, line
// breaks, a control character and non-ASCII letters.
class CommandLine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sb::MailboxBuilder mb(session::testing::Options(sb::Format::Unicode23));
    const uint32_t inbox = mb.AddFolder(mb.topFolder(), "In \"box\"\\ \xC3\xBC");
    mb.AddItem(inbox, Mail("tab\there \"quoted\" back\\slash", "line\r\nbreak\x01", "\xE6\x94\xB6"));
    mb.AddItem(inbox, Mail("second"));
    mb.AddFolder(mb.topFolder(), "Contacts");
    store_ = std::make_unique<TempFile>(TempPath("cli-store"));
    mb.Write(store_->path());
  }
  static void TearDownTestSuite() { store_.reset(); }
  static const std::string& Store() { return store_->path(); }

  static std::unique_ptr<TempFile> store_;
};
std::unique_ptr<TempFile> CommandLine::store_;

TEST_F(CommandLine, HelpNamesEveryCommandAndOptionAndVersionPrintsIt) {
  const Result help = RunCli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const Command& c : Commands()) {
    EXPECT_NE(help.out.find(std::string(c.help.substr(0, 30))), std::string::npos) << c.name;
    const Result one = RunCli({"help", std::string(c.name)});
    EXPECT_EQ(one.status, 0) << c.name;
    EXPECT_NE(one.out.find("usage: velmorix-cli " + std::string(c.name)), std::string::npos);
    EXPECT_NE(one.out.find("Exit status: "), std::string::npos);
    EXPECT_NE(help.out.find(one.out), std::string::npos) << c.name;
  }
  for (const Option& o : cli::Options()) {
    EXPECT_NE(help.out.find(std::string(o.name)), std::string::npos) << o.name;
  }
  EXPECT_EQ(RunCli({"recover", "--help"}).out, RunCli({"help", "recover"}).out);

  const Result version = RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "velmorix-cli " VELMORIX_VERSION_TEXT "\n");
}

// The manual page keeps up with the table of commands and options.
TEST(ManPage, DescribesEveryCommandAndOption) {
  const std::string page = ReadFile(VELMORIX_MAN_PAGE);
  ASSERT_FALSE(page.empty());
  auto roff = [](std::string_view text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
  };
  for (const Command& c : Commands()) {
    EXPECT_NE(page.find(".B velmorix-cli " + std::string(c.name)), std::string::npos) << c.name;
    EXPECT_NE(page.find(".B " + std::string(c.name) + "\n"), std::string::npos) << c.name;
  }
  for (const Option& o : cli::Options()) {
    EXPECT_NE(page.find(roff(o.name)), std::string::npos) << o.name;
  }
}

TEST_F(CommandLine, UsageErrorsNameWhatIsWrongAndExit64) {
  const std::vector<std::pair<Lines, std::string>> cases{
      {{}, "velmorix-cli: no command given"},
      {{"frob"}, "velmorix-cli: unknown command 'frob'"},
      {{"--frob"}, "velmorix-cli: unknown option '--frob'"},
      {{"recover", "--verbose", "f"}, "velmorix-cli: recover: unknown option '--verbose'"},
      {{"recover", "--format", "xml", "f"}, "velmorix-cli: recover: invalid value 'xml' for --format (text|tsv|json)"},
      {{"recover", "--format"}, "velmorix-cli: recover: option '--format' needs a value (text|tsv|json)"},
      {{"recover", "--ids=1", "f"}, "velmorix-cli: recover: option '--ids' takes no value"},
      {{"recover"}, "velmorix-cli: recover: missing FILE"},
      {{"info", "a", "b"}, "velmorix-cli: info: unexpected argument 'b'"},
      {{"help", "frob"}, "velmorix-cli: help: unknown command 'frob'"},
  };
  for (const auto& [args, first] : cases) {
    const Result r = RunCli(args);
    EXPECT_EQ(r.status, 64) << first;
    EXPECT_EQ(r.out, "") << first;
    const Lines err = Split(r.err);
    ASSERT_EQ(err.size(), 3u) << r.err;
    EXPECT_EQ(err[0], first);
    EXPECT_EQ(err[1].rfind("usage: velmorix-cli ", 0), 0u) << err[1];
  }
}

TEST_F(CommandLine, FileErrorsNameTheFileAndTheReason) {
  const std::string dir = ::testing::TempDir();
  const std::string missing = TempPath("missing");
  Result r = RunCli({"recover", "--format", "tsv", missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "velmorix-cli: " + missing + ": No such file or directory\n");
  EXPECT_EQ(Split(r.out), (Lines{"message\tPlease select a valid file first",
                                 "summary\tfolders=0\tmails=0\tnodes=0\tstate=A\tdamaged_attachments=0"}));

  for (const char* command : {"recover", "info"}) {
    r = RunCli({command, dir});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.err, "velmorix-cli: " + dir + ": Is a directory\n") << command;
  }

  // Another program holds the file's lock: the recovery's records are those
  // of a file that does not open.
  {
    const int fd = ::open(Store().c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    r = RunCli({"recover", "--format", "tsv", Store()});
    ::close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "velmorix-cli: " + Store() + ": File is locked by another program\n");
    EXPECT_EQ(Split(r.out), (Lines{"status\tOpening File", "message\tCould not open file Try again",
                                   "summary\tfolders=0\tmails=0\tnodes=0\tstate=B\tdamaged_attachments=0"}));
  }

  // Not a store: info says so in one line; the recovery fails at the store
  // information and says why.
  TempFile text(TempPath("text"));
  std::ofstream(text.path()) << "Dear reader,\nthis is not a mailbox.\n";
  r = RunCli({"info", text.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "velmorix-cli: " + text.path() + ": not an offline-folders file (.ost or .pst)\n");
  r = RunCli({"recover", text.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velmorix-cli: " + text.path() + ": not an offline-folders file (.ost or .pst)\n");
}

TEST_F(CommandLine, UnreadableFileIsPermissionDenied) {
  TempFile copy(TempPath("unreadable"));
  std::filesystem::copy_file(Store(), copy.path());
  ::chmod(copy.path().c_str(), 0);
  How how;
  if (::geteuid() == 0) {
    // Root reads any file: run as nobody, where nobody can run the program.
    how.asNobody = true;
    if (RunCli({"--version"}, how).status != 0) GTEST_SKIP() << "nobody cannot run " << how.program;
  }
  const Result r = RunCli({"info", copy.path()}, how);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "velmorix-cli: " + copy.path() + ": Permission denied\n");
}

TEST(Json, StringsAreEscapedAndAlwaysValidUtf8) {
  auto json = [](std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
  };
  EXPECT_EQ(json("plain"), "\"plain\"");
  EXPECT_EQ(json("a\"b\\c\td\re\nf\x01g\x7f"), "\"a\\\"b\\\\c\\td\\re\\nf\\u0001g\x7f\"");
  EXPECT_EQ(json(std::string_view("nul\0", 4)), "\"nul\\u0000\"");
  // Valid sequences of two, three and four bytes stay as they are.
  EXPECT_EQ(json("\xC3\xBC\xE6\x94\xB6\xF0\x9F\x98\x80"), "\"\xC3\xBC\xE6\x94\xB6\xF0\x9F\x98\x80\"");
  // Each byte outside a valid sequence becomes U+FFFD: a lone continuation,
  // a cut sequence, an overlong form, a surrogate, beyond U+10FFFF, 0xFF.
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(json("\x80"), "\"" + bad + "\"");
  EXPECT_EQ(json("x\xE6\x94"), "\"x" + bad + bad + "\"");
  EXPECT_EQ(json("\xC0\xAF"), "\"" + bad + bad + "\"");
  EXPECT_EQ(json("\xED\xA0\x80"), "\"" + bad + bad + bad + "\"");
  EXPECT_EQ(json("\xF4\x90\x80\x80"), "\"" + bad + bad + bad + bad + "\"");
  EXPECT_EQ(json("\xFF" "a"), "\"" + bad + "a\"");
}

// search and export's filters on a mailbox of non-ASCII texts: case is
// ignored beyond ASCII, bodies and attachment names are read when asked
// for, dates bound the matches, and the exit status is grep's.
class Search : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sb::MailboxBuilder mb(session::testing::Options(sb::Format::Unicode23));
    const uint32_t inbox = mb.AddFolder(mb.topFolder(), "\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1");  // 收件箱
    sb::MailFields mueller;
    mueller.subject = "Bericht von Herrn M\xC3\xBCller";  // Müller
    mueller.senderName = "Anna";
    mueller.displayTo = "Team";
    mueller.body = "Die Zahlen f\xC3\xBCr STRASSE 5";
    mueller.deliveryTime = sb::FileTime(2006, 7, 1, 12);
    mb.AddItem(inbox, sb::MakeMail(mueller));
    sb::MailFields other;
    other.subject = "Lunch";
    other.senderName = "Bob";
    other.displayTo = "\xE5\xBC\xA0\xE4\xB8\x89";  // 张三
    other.body = "nothing here";
    other.deliveryTime = sb::FileTime(2007, 3, 2, 9);
    sb::Item lunch = sb::MakeMail(other);
    sb::Attachment menu;
    menu.fileName = "Speisekarte-\xC3\x84pfel.pdf";  // Äpfel
    menu.data = Buffer(16, std::byte{0x25});
    lunch.attachments.push_back(menu);
    mb.AddItem(inbox, lunch);
    store_ = std::make_unique<TempFile>(TempPath("search-store"));
    mb.Write(store_->path());
  }
  static void TearDownTestSuite() { store_.reset(); }
  static const std::string& Store() { return store_->path(); }
  // The subjects of the rows a tsv search printed.
  static Lines Subjects(const Result& r) {
    Lines subjects;
    for (const std::string& line : Split(r.out)) {
      if (line.rfind("row\t", 0) != 0) continue;
      std::istringstream fields(line);
      std::string field;
      for (int i = 0; i < 4 && std::getline(fields, field, '\t'); ++i) {
      }
      subjects.push_back(field);
    }
    return subjects;
  }
  static std::unique_ptr<TempFile> store_;
};
std::unique_ptr<TempFile> Search::store_;

TEST_F(Search, FindsHeadlinesIgnoringCaseBeyondAscii) {
  const std::string subject = "Bericht von Herrn M\xC3\xBCller";
  for (const char* text : {"M\xC3\x9CLLER", "m\xC3\xBCller", "Herrn M"}) {
    const Result r = RunCli({"search", "--format", "tsv", Store(), text});
    EXPECT_EQ(r.status, 0) << text << r.err;
    EXPECT_EQ(Subjects(r), Lines{subject}) << text;
    EXPECT_NE(r.out.find("list\tPersonal Folders\\\xE6\x94\xB6\xE4\xBB\xB6\xE7\xAE\xB1\\\tmail"), std::string::npos);
    EXPECT_NE(r.out.find("summary\tmatches=1"), std::string::npos);
  }
  // The recipient field, in Chinese; the sender only when asked for.
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", Store(), "\xE5\xBC\xA0\xE4\xB8\x89"})), Lines{"Lunch"});
  EXPECT_EQ(RunCli({"search", "--in", "subject", Store(), "bob"}).status, 1);
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", "--in", "from", Store(), "BOB"})), Lines{"Lunch"});
  // JSON rows name their folder.
  const Result json = RunCli({"search", "--format", "json", "--ids", Store(), "lunch"});
  EXPECT_NE(json.out.find("\"folder\":\"Personal Folders\\\\\xE6\x94\xB6"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"id\":\"0x"), std::string::npos);
}

TEST_F(Search, ReadsBodiesAndAttachmentNamesWhenAskedFor) {
  EXPECT_EQ(RunCli({"search", Store(), "strasse"}).status, 1);  // not in a headline
  // ß folds to ss: "Straße" finds "STRASSE".
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", "--in", "body", Store(), "Stra\xC3\x9F" "e"})),
            Lines{"Bericht von Herrn M\xC3\xBCller"});
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", "--in", "attachments", Store(), "\xC3\xA4pfel"})),
            Lines{"Lunch"});
  EXPECT_EQ(RunCli({"search", "--in", "body", Store(), "\xC3\xA4pfel"}).status, 1);
}

TEST_F(Search, DatesBoundTheMatches) {
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", "--after", "2007-01-01", Store(), ""})), Lines{"Lunch"});
  EXPECT_EQ(Subjects(RunCli({"search", "--format", "tsv", "--before", "2006-07-01T12:00:01", Store(), ""})),
            Lines{"Bericht von Herrn M\xC3\xBCller"});
  EXPECT_EQ(RunCli({"search", "--after", "2006-07-02", "--before", "2007-03-01", Store(), ""}).status, 1);
  for (const Lines& bad : {Lines{"search", "--after", "2006-13-01", Store(), "x"},
                           Lines{"search", "--before", "yesterday", Store(), "x"},
                           Lines{"search", "--in", "subject,size", Store(), "x"}, Lines{"search", Store()}}) {
    const Result r = RunCli(bad);
    EXPECT_EQ(r.status, 64) << bad[1];
    EXPECT_NE(r.err.find("usage: velmorix-cli search"), std::string::npos) << r.err;
  }
  EXPECT_EQ(RunCli({"search", "/nonexistent/none.pst", "x"}).status, 2);
}

TEST_F(Search, ExportWritesOnlyTheMatches) {
  const std::string out = TempPath("search-export");
  std::filesystem::create_directories(out);
  const Result r = RunCli({"export", "--format", "eml", "--out", out, "--match", "M\xC3\x9CLLER", Store()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 items written"), std::string::npos) << r.out;
  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);
  std::filesystem::remove_all(out);
  EXPECT_EQ(RunCli({"export", "--format", "eml", "--out", out, "--in", "body", Store()}).status, 64);
  const Result none = RunCli({"export", "--format", "eml", "--out", out, "--after", "2030-01-01", Store()});
  EXPECT_NE(none.out.find("0 items written"), std::string::npos) << none.out;
  std::filesystem::remove_all(out);
}

// The JSON records read back with Python's parser (strict UTF-8) are the tsv
// records, once TAB, CR and LF are blanked as tsv does.
TEST_F(CommandLine, JsonRecordsAreTheTsvRecords) {
  const Result tsv = RunCli({"recover", "--format", "tsv", "--ids", Store()});
  const Result json = RunCli({"recover", "--format=json", "--ids", Store()});
  ASSERT_EQ(tsv.status, 0);
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  How how;
  how.program = "/usr/bin/python3";
  if (::access(how.program.c_str(), X_OK) != 0) GTEST_SKIP() << how.program << " not installed";

  TempFile records(TempPath("json"));
  std::ofstream(records.path(), std::ios::binary) << json.out;
  static const char* kToTsv = R"(
import json, sys
KEYS = {"status": ["type", "text"], "message": ["type", "text"], "folder": ["type", "path"],
        "list": ["type", "path", "set", "columns"], "row": ["type", "picture", "cells", "id"],
        "summary": ["type", "folders", "mails", "nodes", "state", "damaged_attachments"]}
def field(v):
    return str(v).replace("\t", " ").replace("\r", " ").replace("\n", " ")
for line in sys.stdin.buffer.read().decode("utf-8").split("\n")[:-1]:
    r = json.loads(line)
    assert list(r) == KEYS[r["type"]], line
    t = r["type"]
    if t == "list":
        f = [r["path"], r["set"]] + r["columns"]
    elif t == "row":
        f = [r["picture"]] + r["cells"] + [r["id"]]
    elif t == "summary":
        f = ["%s=%s" % (k, r[k]) for k in KEYS[t][1:]]
    else:
        f = [r[KEYS[t][1]]]
    sys.stdout.buffer.write(("\t".join([t] + [field(x) for x in f]) + "\n").encode("utf-8"))
)";
  TempFile script(TempPath("to-tsv"));
  std::ofstream(script.path()) << kToTsv;
  how.input = records.path();
  const Result back = RunCli({script.path()}, how);
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.out, tsv.out);
  // Texts are exact in JSON.
  EXPECT_NE(json.out.find(R"("cells":["line\r\nbreak\u0001","tab\there \"quoted\" back\\slash")"),
            std::string::npos);
}

TEST(Progress, GoesToATerminalOnlyAndNeverToStdout) {
  // Enough mails for the run to last a few of the progress line's updates.
  sb::MailboxBuilder mb(session::testing::Options(sb::Format::Unicode23));
  const uint32_t inbox = mb.AddFolder(mb.topFolder(), "Inbox");
  for (int i = 0; i < 3000; ++i) mb.AddItem(inbox, Mail("mail " + std::to_string(i)));
  TempFile store(TempPath("cli-progress"));
  mb.Write(store.path());

  const Result plain = RunCli({"recover", "--format", "tsv", store.path()});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");

  How terminal;
  terminal.terminal = true;
  // On a loaded machine the run may end before the line is first drawn:
  // nothing is shown then, which is right; a later run shows it.
  Result shown;
  for (int attempt = 0; attempt < 5 && shown.err.empty(); ++attempt) {
    shown = RunCli({"recover", "--format", "tsv", store.path()}, terminal);
  }
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, plain.out);
  // Drawn in place and erased before the records are printed.
  EXPECT_EQ(shown.err.rfind('\r', 0), 0u) << shown.err;
  EXPECT_TRUE(shown.err.find("File") != std::string::npos || shown.err.find("Loading") != std::string::npos)
      << shown.err;
  EXPECT_EQ(shown.err.find('\n'), std::string::npos);
  EXPECT_TRUE(shown.err.ends_with("\r\x1b[K")) << shown.err;

  const Result quiet = RunCli({"recover", "--quiet", "--format", "tsv", store.path()}, terminal);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, plain.out);
  EXPECT_EQ(quiet.err, "");
}

TEST(Progress, StagePercentageRateAndTimeLeft) {
  EXPECT_EQ(ProgressText("Scanning File for Mails...", 12345, 50000, 2.0, 100),
            "Scanning File for Mails...  24%  12,345 items  6,172 items/s  0:06 left");
  // Before the first items and without a total: the time in the stage.
  EXPECT_EQ(ProgressText("Loading Extended Attributes", 0, 0, 75.0, 100), "Loading Extended Attributes  1:15");
  // A position past its estimate stays at 100%, without a time left.
  EXPECT_EQ(ProgressText("Scan", 120, 100, 1.0, 100), "Scan  100%  120 items  120 items/s");
  // Cut to the terminal's width, whole code points.
  EXPECT_EQ(ProgressText("\xC3\xBC\xC3\xBC\xC3\xBC", 0, 0, 0.0, 2), "\xC3\xBC\xC3\xBC");
}

}  // namespace
}  // namespace velmorix::cli
