#include "IsolatedHome.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

#include "aDirectory.h"

namespace {

const char* const ISOLATE_SCRIPT = R"SH(
set -u
h=$1; seed=$2; keep=$3; shift 3
orig=$(mktemp -d /tmp/updater-orighome.XXXXXX) || exit 90
mount --bind "$h" "$orig" || exit 91
mount -t tmpfs -o mode=0700 tmpfs "$h" || exit 92
for p in $keep; do
  case "$p" in "$h"/*) rel=${p#"$h"/}; mkdir -p "$h/$rel" && mount --bind "$orig/$rel" "$h/$rel" || exit 93;; esac
done
cp -a "$seed/." "$h/" 2>/dev/null
"$@"
rc=$?
for p in $keep; do case "$p" in "$h"/*) umount "$h/${p#"$h"/}";; esac; done
rm -rf "$seed"/.vantorix
cp -a "$h/." "$seed/" 2>/dev/null
umount "$orig"; rmdir "$orig"
exit $rc
)SH";

}  // namespace

std::string RealHomeDirectory()
{
    struct passwd* pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0])
        return pw->pw_dir;
    const char* home = getenv("HOME");
    return home ? home : "/root";
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/updater-test.XXXXXX";
    const char* p = mkdtemp(pattern);
    path_ = p ? p : "";
}

TempDir::~TempDir()
{
    if (!path_.empty())
        aDirectory_DeleteTree(path_.c_str());
}

IsolatedHome::IsolatedHome()
{
    char pattern[] = "/tmp/updater-home.XXXXXX";
    const char* p = mkdtemp(pattern);
    dir_ = p ? p : "";
}

IsolatedHome::~IsolatedHome()
{
    if (!dir_.empty())
        aDirectory_DeleteTree(dir_.c_str());
}

ProcessResult IsolatedHome::RunCommand(const std::vector<std::string>& argv, const std::string& netns, int timeout_ms,
                                       const std::vector<std::string>& env)
{
    std::vector<std::string> command;
    if (!netns.empty())
        command = {"ip", "netns", "exec", netns};
    const std::string keep = std::string(UPDATER_SOURCE_DIR) + " " + UPDATER_BUILD_DIR;
    std::vector<std::string> wrapped = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                        ISOLATE_SCRIPT, "isolate", RealHomeDirectory(), dir_, keep};
    command.insert(command.end(), wrapped.begin(), wrapped.end());
    command.insert(command.end(), argv.begin(), argv.end());
    return RunProcess(command, timeout_ms, env);
}

ProcessResult IsolatedHome::Run(const std::vector<std::string>& args, const std::string& netns, int timeout_ms)
{
    std::vector<std::string> argv = {UPDATER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, netns, timeout_ms);
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
