// Native runs of setup files as separate processes: runs killed at points through the removal and
// the import, runs started together on one store, and damaged setup files with the memory each
// run takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "robust_support.h"
#include "testutil.h"

extern char** environ;

namespace {

using testutil::TempDir;

const std::string kUpdated =
    "[Disc burning driver setup] (information) Disc burning driver information successfully updated.\n";
const std::string kCorrupt =
    "[Disc burning driver setup] (error) Error: the disc burning driver setup file is corrupted.\n";
const std::string kInvalid =
    "[Disc burning driver setup] (error) Error: the disc burning driver setup data is not valid.\n";

// A directory for stores: in shared memory when there is one (the stores see thousands of synced
// commits per run), else under the temporary directory.
struct StoreDir {
  std::string path;
  StoreDir() {
    char pattern[] = "/dev/shm/drvsetup-test-XXXXXX";
    char* made = access("/dev/shm", W_OK) == 0 ? mkdtemp(pattern) : 0;
    if (made) {
      path = made;
    } else {
      fallback.reset(new TempDir);
      path = fallback->path;
    }
  }
  ~StoreDir() {
    if (!fallback && !path.empty()) {
      std::string command = "rm -rf '" + path + "'";
      if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
    }
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::unique_ptr<TempDir> fallback;
};

// A started process with its standard error in a file.
struct Process {
  pid_t pid = -1;
  std::string err_path;
  int status = 0;
  bool done = false;
  struct rusage usage = {};
};

Process start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& err_path) {
  Process p;
  p.err_path = err_path;
  std::vector<std::string> environment;
  for (char** e = environ; *e; e++) {
    std::string entry = *e;
    if (entry.compare(0, 9, "DRVSETUP_") == 0) continue;
    environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> envp, args;
  for (std::string& e : environment) envp.push_back(&e[0]);
  envp.push_back(0);
  std::vector<std::string> argv_copy = argv;
  for (std::string& a : argv_copy) args.push_back(&a[0]);
  args.push_back(0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&p.pid, args[0], &actions, 0, args.data(), envp.data()) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return p;
}

// Waits for all processes, at most `seconds`; those still running then are killed and reported
// as hanging (status stays unset, done false).
void wait_all(std::vector<Process>& processes, int seconds) {
  time_t deadline = time(0) + seconds;
  size_t left = processes.size();
  while (left > 0) {
    for (Process& p : processes) {
      if (p.done || p.pid < 0) continue;
      if (wait4(p.pid, &p.status, WNOHANG, &p.usage) == p.pid) {
        p.done = true;
        left--;
      }
    }
    if (left == 0) break;
    if (time(0) > deadline) {
      for (Process& p : processes)
        if (!p.done && p.pid > 0) {
          kill(p.pid, SIGKILL);
          waitpid(p.pid, 0, 0);
        }
      return;
    }
    usleep(20000);
  }
}

// A generous limit for anything that should end by itself: reaching it means a hang.
const int kHangSeconds = 900;

struct Outcome {
  bool exited = false;
  int code = -1;     // exit status when exited
  int signal = 0;    // the signal that ended it otherwise
  std::string err;
  long max_rss_kib = 0;  // only meaningful through the peak_rss launcher
};

Outcome finish(const Process& p) {
  Outcome o;
  o.exited = p.done && WIFEXITED(p.status);
  o.code = o.exited ? WEXITSTATUS(p.status) : -1;
  o.signal = p.done && WIFSIGNALED(p.status) ? WTERMSIG(p.status) : 0;
  o.err = testutil::read_file(p.err_path);
  o.max_rss_kib = p.usage.ru_maxrss;
  return o;
}

Outcome run_one(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& err_path) {
  std::vector<Process> ps = {start(argv, env, err_path)};
  wait_all(ps, kHangSeconds);
  EXPECT_TRUE(ps[0].done) << argv[0] << " did not end within " << kHangSeconds << " s";
  return finish(ps[0]);
}

// A store holding an older installation and a sibling of the driver data key.
void make_old_store(const std::string& store) {
  testutil::use_store(store);
  robust::put_sibling();
  robust::put_old_installation();
  testutil::use_store(":memory:");
}

std::string integrity(const std::string& store) {
  std::string command = "sqlite3 '" + store + "' 'PRAGMA integrity_check' 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
    pclose(pipe);
  }
  return out;
}

// What a whole run leaves on a store with the older installation.
const std::string& clean_registry() {
  static std::string* clean = 0;
  if (clean) return *clean;
  StoreDir dir;
  std::string store = dir.file("clean.db");
  make_old_store(store);
  Outcome o = run_one({testutil::shipped_setup()}, {"DRVSETUP_REGISTRY=" + store}, dir.file("err"));
  EXPECT_EQ(o.code, 0) << o.err;
  clean = new std::string(testutil::dump_registry(store));
  return *clean;
}

struct KillPoint {
  const char* function;
  unsigned call;
};

// Killed at twenty points through the removal (the program's own, as without the shell's tree
// deletion) and the import: the store stays a sound database, and the next run repairs the
// installation (outcome 0, not 1: no kill leaves an installed version behind).
TEST(Interruption, KilledRunsLeaveASoundStoreThatTheNextRunRepairs) {
  const KillPoint points[] = {
      {"RegOpenKeyExA", 3},      {"RegEnumKeyExA", 5},      {"RegDeleteKeyA", 3},
      {"RegDeleteKeyA", 7},      {"RegCreateKeyExA", 1},    {"RegCreateKeyExA", 150},
      {"RegCreateKeyExA", 450},  {"RegCreateKeyExA", 900},  {"RegCreateKeyExA", 1300},
      {"RegCreateKeyExA", 1700}, {"RegCreateKeyExA", 1786}, {"RegSetValueExA", 1},
      {"RegSetValueExA", 400},   {"RegSetValueExA", 1000},  {"RegSetValueExA", 1600},
      {"RegSetValueExA", 2200},  {"RegSetValueExA", 2800},  {"RegSetValueExA", 3300},
      {"RegSetValueExA", 3718},  {"RegSetValueExA", 3719},
  };
  const std::string& clean = clean_registry();
  StoreDir dir;
#ifdef DRVSETUP_SANITIZED
  const size_t step = 4;  // each run is several times slower: a quarter of the points
#else
  const size_t step = 1;
#endif
  for (size_t p = 0; p < sizeof points / sizeof points[0]; p += step) {
    const KillPoint& point = points[p];
    std::string at = std::string(point.function) + ":" + std::to_string(point.call);
    SCOPED_TRACE(at);
    std::string store = dir.file("kill.db");
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((store + suffix).c_str());
    make_old_store(store);
    Outcome killed = run_one({testutil::shipped_setup()},
                             {"DRVSETUP_REGISTRY=" + store, "DRVSETUP_SHLWAPI=missing",
                              "DRVSETUP_KILL_AFTER=" + at},
                             dir.file("err"));
    EXPECT_EQ(killed.signal, SIGKILL) << killed.err;
    EXPECT_EQ(integrity(store), "ok\n");
    Outcome next = run_one({testutil::shipped_setup()}, {"DRVSETUP_REGISTRY=" + store}, dir.file("err"));
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_EQ(next.err, kUpdated);
    EXPECT_EQ(integrity(store), "ok\n");
    EXPECT_EQ(testutil::dump_registry(store), clean);
  }
}

// Runs started together on one store: none hangs, crashes or meets a store error; each ends with
// 0, 1 or -3 (a run whose keys another run removed under it); at least one installs; and the
// registry ends as one clean run leaves it.
TEST(Concurrency, RunsStartedTogetherOnOneStore) {
  const std::string& clean = clean_registry();
  for (int count : {2, 8}) {
    SCOPED_TRACE(std::to_string(count) + " runs");
    StoreDir dir;
    std::string store = dir.file("shared.db");
    make_old_store(store);
    std::vector<Process> processes;
    for (int i = 0; i < count; i++)
      processes.push_back(start({testutil::shipped_setup()}, {"DRVSETUP_REGISTRY=" + store},
                                dir.file("err" + std::to_string(i))));
    wait_all(processes, kHangSeconds);
    int updated = 0, current = 0, failed = 0;
    for (const Process& p : processes) {
      ASSERT_TRUE(p.done) << "a run did not end within " << kHangSeconds << " s";
      Outcome o = finish(p);
      ASSERT_TRUE(o.exited) << "ended by signal " << o.signal << ": " << o.err;
      EXPECT_EQ(o.err.find("winlayer:"), std::string::npos) << o.err;
      EXPECT_TRUE(o.code == 0 || o.code == 1 || o.code == 253) << o.code << ": " << o.err;
      updated += o.code == 0;
      current += o.code == 1;
      failed += o.code == 253;
    }
    printf("%d runs together: %d updated, %d up to date, %d failed installing\n", count, updated,
           current, failed);
    EXPECT_GE(updated, 1);
    EXPECT_EQ(integrity(store), "ok\n");
    EXPECT_EQ(testutil::dump_registry(store), clean);
    // And a later run finds it current.
    Outcome after = run_one({testutil::shipped_setup()}, {"DRVSETUP_REGISTRY=" + store}, dir.file("err"));
    EXPECT_EQ(after.code, 1) << after.err;
  }
}

// Damaged setup files, each read by the native image as its own file. Every one gets its outcome;
// none makes the program ask for more memory than the file holds. Without the sanitizer: the
// largest single request (seen by a preloaded allocator wrapper) is no larger than the file, or
// than the largest of a run of a script with nothing but its version line (the runtime's own
// requests), and the peak resident size (measured by a small launcher) stays below the file's
// size plus 1 MiB over that run's. With the sanitizer, whose allocator keeps freed
// memory and can't share the process with the wrapper, the sanitizer itself refuses any single
// request above the file's size plus 1 MiB, rounded up to whole MiB.
struct Damaged {
  const char* name;
  std::string bytes;
  int status;  // exit status: 0, 255 (-1), 254 (-2)
};

TEST(DamagedSetupFiles, EachGetsItsOutcomeWithinTheFileSize) {
  // The image in front of the data: an executable's header (with its runs of zero bytes) and
  // some code-like bytes.
  std::string image = std::string("\x7F" "ELF\x02\x01\x01", 7) + std::string(9, '\0');
  for (int i = 0; i < 4080; i++) image.push_back((char)(i % 7 == 0 ? 0 : 0x40 + i % 50));
  const std::string script =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n"
      "\"DriverVersion\"=dword:00000038\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\X]\r\n"
      "\"a\"=\"1\"\r\n";
  const std::string data = testutil::utf16le(script);
  const std::string whole = image + data;
  auto with_length = [](const std::string& body, uint32_t length) {
    return testutil::setup_file_with_length(body, "", length);
  };
  std::string big_endian = "\xFE\xFF";
  for (size_t i = 2; i + 1 < data.size(); i += 2) big_endian += std::string{data[i + 1], data[i]};
  std::string nul_second = "\xFF\xFE" + std::string(2, '\0') + data.substr(2);
  std::string nul_first = std::string(2, '\0') + data.substr(2);
  const uint32_t size = (uint32_t)whole.size() + 4;

  const std::vector<Damaged> table = {
      {"empty file", "", 255},
      {"1 byte", "\x01", 255},
      {"2 bytes", "\x01\x02", 255},
      {"3 bytes", "\x01\x02\x03", 255},
      {"4 bytes: trailer 0", with_length("", 0), 254},
      {"trailer 0xFFFFFFFF", with_length(whole, 0xFFFFFFFFu), 255},
      {"trailer 0x80000000", with_length(whole, 0x80000000u), 255},
      {"trailer 0x7FFFFFFC", with_length(whole, 0x7FFFFFFCu), 255},
      {"trailer file size - 3", with_length(whole, size - 3), 255},
      {"trailer file size - 4 (the image read as text)", with_length(whole, size - 4), 254},
      {"trailer 0", with_length(whole, 0), 254},
      {"odd length 1", with_length(whole, 1), 254},
      {"odd length 3", with_length(whole, 3), 254},
      {"odd length: one byte after the data", with_length(whole + "Z", (uint32_t)data.size() + 1), 0},
      {"odd length: one byte of the image before the data",
       with_length(whole, (uint32_t)data.size() + 1), 254},
      {"big-endian data", with_length(image + big_endian, (uint32_t)big_endian.size()), 254},
      {"U+0000 as the first unit (it is dropped)",
       with_length(image + nul_first, (uint32_t)nul_first.size()), 0},
      {"U+0000 right after the byte order mark",
       with_length(image + nul_second, (uint32_t)nul_second.size()), 254},
      {"sound file", with_length(whole, (uint32_t)data.size()), 0},
      {"the shipped setup file", testutil::read_file(testutil::shipped_setup()), 0},
  };
  const std::string baseline_script = "\"DriverVersion\"=dword:1\r\n";
  const std::string baseline_data = testutil::utf16le(baseline_script);

  TempDir dir;
  bool measure_requests = access(LARGEST_ALLOC_LIBRARY, R_OK) == 0;
  auto run_file = [&](const std::string& bytes, size_t* largest) {
    std::string path = dir.file("setup.bin");
    testutil::write_file(path, bytes);
    std::string report = dir.file("largest");
    unlink(report.c_str());
    std::vector<std::string> env = {"DRVSETUP_REGISTRY=:memory:", "DRVSETUP_MODULE_PATH=" + path};
#ifdef DRVSETUP_SANITIZED
    const char* options = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (options ? options : "") +
                  ":allocator_may_return_null=0:max_allocation_size_mb=" +
                  std::to_string(bytes.size() / (1 << 20) + 2));
#endif
    if (measure_requests)
      env.insert(env.end(), {std::string("LD_PRELOAD=") + LARGEST_ALLOC_LIBRARY,
                             "LARGEST_ALLOC_REPORT=" + report});
    std::string peak = dir.file("peak");
    Outcome o = run_one({PEAK_RSS_PROGRAM, peak, testutil::native_image()}, env, dir.file("err"));
    // The status and the peak as the small launcher saw them.
    int status = -1;
    long kib = -1;
    if (sscanf(testutil::read_file(peak).c_str(), "%d %ld", &status, &kib) == 2) {
      o.code = status;
      o.exited = status >= 0;
      o.signal = status < 0 ? -status : 0;
      o.max_rss_kib = kib;
    } else {
      ADD_FAILURE() << "no report from the launcher";
    }
    *largest = measure_requests ? strtoull(testutil::read_file(report).c_str(), 0, 10) : 0;
    return o;
  };
  size_t baseline_largest = 0;
  Outcome baseline = run_file(testutil::setup_file(image, baseline_data),
                              &baseline_largest);
  ASSERT_EQ(baseline.code, 0) << baseline.err;
  printf("%-50s %8s %6s %10s %10s\n", "setup file", "bytes", "status", "peak KiB", "largest");
  printf("%-50s %8zu %6d %10ld %10zu\n", "(baseline: version line only)",
         image.size() + baseline_data.size() + 4, baseline.code, baseline.max_rss_kib,
         baseline_largest);
  for (const Damaged& row : table) {
    SCOPED_TRACE(row.name);
    size_t largest = 0;
    Outcome o = run_file(row.bytes, &largest);
    printf("%-50s %8zu %6d %10ld %10zu\n", row.name, row.bytes.size(), o.code, o.max_rss_kib, largest);
    ASSERT_TRUE(o.exited) << "signal " << o.signal << ": " << o.err;
    EXPECT_EQ(o.code, row.status) << o.err;
    EXPECT_EQ(o.err, row.status == 255 ? kCorrupt : row.status == 254 ? kInvalid : kUpdated);
    const long limit_kib = (long)(row.bytes.size() / 1024) + 1024;
#ifndef DRVSETUP_SANITIZED
    EXPECT_LT(o.max_rss_kib - baseline.max_rss_kib, limit_kib);
#else
    (void)limit_kib;
#endif
    if (measure_requests) {
      EXPECT_GT(largest, 0u);  // the wrapper did see the run's requests
      // No request beyond what the file holds, but for those every run makes whatever its file
      // (the C++ runtime's own pool): the baseline run's largest.
      EXPECT_LE(largest, std::max(row.bytes.size(), baseline_largest));
    }
  }
}

}  // namespace
