#include "config/config_tool.h"

#include "common/ConfigBox.h"
#include "common/config_lock.h"
#include "common/machine_id.h"
#include "config/image_install.h"
#include "config/image_search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace config_text;

namespace {

// Size of the identity buffer handed to get_id.
constexpr size_t ID_BUF_LEN = 100;

void say(const char* text) { std::puts(text); }

__attribute__((format(printf, 1, 2))) void fail(const char* fmt, ...);

// Image folder: made when missing, readable by all and writable by its owner
// only; an existing folder keeps its mode until an installation takes write
// access away from its group and others (install_image_fd).
void ensure_cert_dir(const ConfigEnv& env)
{
    if (access(env.cert_dir.c_str(), F_OK) != 0)
        mkdir(env.cert_dir.c_str(), 0755);
}

// Loads config_file under its lock into box. False, after saying so on
// standard error, when the file is there but cannot be read; a missing file
// reads as one without keys (and is never created).
bool load_config(CConfigBox& box, const ConfigEnv& env)
{
    if (box.load(env.config_file) || errno == ENOENT)
        return true;
    fail(kNotRead, env.config_file.c_str(), std::strerror(errno));
    return false;
}

// False, after the message on standard error, when the lock that guards
// config.ini is not held: the command then neither loads nor saves it.
bool locked_or_say(const ConfigLock& lock)
{
    if (lock.locked())
        return true;
    fail(kConfigNotLocked, lock.path().c_str(), std::strerror(lock.error()));
    return false;
}

// "Result" 11 after an installation. False, after saying so on standard
// error, when the lock could not be taken or "Result" could not be recorded.
bool record_installed(const ConfigEnv& env)
{
    ConfigLock lock(env.config_dir.c_str());
    if (!locked_or_say(lock))
        return false;
    CConfigBox box;
    bool ok = (box.load(env.config_file) || errno == ENOENT) &&
              box.set_property_as_int("Result", RESULT_INSTALLED) && box.save();
    if (!ok)
        fail(kResultNotSaved, env.config_file.c_str());
    return ok;
}

// Zero-fills g_szCID and reads Key.dat into it. False, after saying so on
// standard error, when Key.dat is there but cannot be read: the machine's
// identifier is then unknown, not absent.
bool read_key_dat(const ConfigEnv& env)
{
    std::memset(g_szCID, 0, sizeof g_szCID);
    const int err = ReadCIDStatus(env.key_dat.c_str());
    if (err == 0 || err == ENOENT)
        return true;
    fail(kNotRead, env.key_dat.c_str(), std::strerror(err));
    return false;
}

// Common start of import, update and path: the argument, or null after the
// message.
const char* source_argument(int argc, char** argv, const ConfigEnv& env)
{
    ensure_cert_dir(env);
    if (argc != 3) {
        say(kNoSource);
        return nullptr;
    }
    if (access(argv[2], F_OK) != 0) {
        say(kBadPath);
        return nullptr;
    }
    return argv[2];
}

// Exit status 1 when the image was installed but "Result" 11 could not be
// recorded (the lock refused, or the save failed); else 0.
int cmd_import(int argc, char** argv, const ConfigEnv& env)
{
    const char* src = source_argument(argc, argv, env);
    if (src == nullptr)
        return 0;
    size_t n = std::strlen(src);
    if (n < 3 || std::strcmp(src + n - 3, "vkd") != 0) {
        say(kBadType);
        return 0;
    }
    if (!install_image_file(src, env.cert_dir, env.image_name)) {
        say(kBadPath);
        return 0;
    }
    return record_installed(env) ? 0 : 1;
}

// A private folder (mode 0700) that is removed with its files. Each probe
// gets a name of its own, and the file probed last stays until the next one
// has been bound: its inode number cannot come back for the next probe, so
// the card never takes a new probe for the file it has bound already (and
// keeps no state of an image probed before, such as a blocked status).
class ScratchDir {
public:
    explicit ScratchDir(const std::string& parent)
    {
        std::string t = parent + "/config-probe-XXXXXX";
        std::vector<char> tmpl(t.begin(), t.end());
        tmpl.push_back('\0');
        if (mkdtemp(tmpl.data()) != nullptr)
            path_ = tmpl.data();
        else
            error_ = errno;
        struct stat st;
        if (ok() && lstat(path_.c_str(), &st) == 0)
            id_ = {st.st_dev, st.st_ino};
    }
    ~ScratchDir()
    {
        if (path_.empty())
            return;
        if (!bound_.empty())
            unlink(bound_.c_str());
        unlink(copy_path().c_str());
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    bool ok() const { return !path_.empty(); }
    // st is the status of this folder (which a search of a tree that holds
    // it must not take for a part of the tree).
    bool is(const struct stat& st) const { return ok() && id_.first == st.st_dev && id_.second == st.st_ino; }
    int error() const { return error_; }
    // The private copy of the candidate being probed.
    std::string copy_path() const { return path_ + "/candidate.vkd"; }
    // A name no probe had before.
    std::string next_probe_path() { return path_ + "/probe-" + std::to_string(++probes_) + ".vkd"; }
    // probe has been bound: the probe bound before it can go now.
    void bound(const std::string& probe)
    {
        if (!bound_.empty())
            unlink(bound_.c_str());
        bound_ = probe;
    }

private:
    std::string path_;
    std::string bound_;
    unsigned long probes_ = 0;
    int error_ = 0;
    std::pair<dev_t, ino_t> id_{0, 0};
};

// Fresh file at path (mode 0600) holding the size bytes of src_fd; its
// descriptor (read and write, close-on-exec), or -1 with the reason in
// *result. A scratch file: it is not flushed to disk, the installation
// flushes what it installs.
int copy_to_new_file(int src_fd, off_t size, const std::string& path, CopyResult* result)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *result = CopyResult::WriteFailed;
        return -1;
    }
    *result = copy_file_fd(src_fd, size, fd);
    if (*result != CopyResult::Ok) {
        const int err = errno;
        close(fd);
        unlink(path.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

enum class Probe {
    Match,      // the candidate holds this machine's identity
    NoMatch,    // another identity, none, or no image at all
    ReadFailed, // it could not be opened or read; errno tells why
    CopyFailed, // it could not be copied into the scratch folder; errno tells why
};

// A candidate that open_regular_image_at refused with this errno could not
// be looked at (as opposed to one that is no image, or a link that leads
// nowhere).
bool unreadable(int err)
{
    return err != 0 && err != ENOENT && err != ENOTDIR && err != ELOOP && err != ENAMETOOLONG;
}

// Probes one candidate, the entry name of the folder open at dir_fd: its
// bytes are read once into a private copy; the card is bound to a second
// copy of those bytes (binding writes into the image), so the candidate is
// never written and what matched is exactly what the copy holds. On a match
// *copy is the descriptor of the copy and id holds the 39 bytes of the
// identity.
Probe probe_candidate(int dir_fd, const char* name, ScratchDir& scratch, const ConfigEnv& env,
                      unsigned char (&id)[ID_BUF_LEN], int* copy, off_t* size)
{
    int src = open_regular_image_at(dir_fd, name, size);
    if (src < 0)
        return unreadable(errno) ? Probe::ReadFailed : Probe::NoMatch;
    CopyResult result;
    *copy = copy_to_new_file(src, *size, scratch.copy_path(), &result);
    const int err = errno;
    close(src);
    if (*copy < 0) {
        errno = err;
        if (result == CopyResult::ReadFailed)
            return Probe::ReadFailed;
        return result == CopyResult::WriteFailed ? Probe::CopyFailed : Probe::NoMatch;
    }
    std::string probe_path = scratch.next_probe_path();
    int probe = copy_to_new_file(*copy, *size, probe_path, &result);
    if (probe < 0) {
        const int perr = errno;
        close(*copy);
        errno = perr;
        return Probe::CopyFailed;
    }
    close(probe);

    std::memset(id, 0, sizeof id);
    size_t len = ID_BUF_LEN;
    std::vector<char> key_file(probe_path.begin(), probe_path.end());
    key_file.push_back('\0');
    int rc = env.get_id ? env.get_id(reinterpret_cast<char*>(id), len, key_file.data()) : -1;
    scratch.bound(probe_path);
    const unsigned char* cid = reinterpret_cast<const unsigned char*>(g_szCID);
    bool match = rc == 0 && len == static_cast<size_t>(CID_LEN) && id[0] == cid[0] &&
                 std::memcmp(id + 3, cid + 3, CID_LEN - 3) == 0;
    if (!match) {
        close(*copy);
        return Probe::NoMatch;
    }
    return Probe::Match;
}

// A failure on standard error, after what standard output holds.
void fail(const char* fmt, ...)
{
    std::fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// Exit status 1 when path could not read Key.dat, could not look at every
// candidate or at every part of the tree and none matched, or installed an
// image but could not write the adopted identity to Key.dat or record
// "Result" 11; else 0.
int cmd_path(int argc, char** argv, const ConfigEnv& env)
{
    const char* dir = source_argument(argc, argv, env);
    if (dir == nullptr)
        return 0;
    if (!read_key_dat(env))
        return 1;
    if (g_szCID[0] == 0) {
        say(kNoCid);
        return 0;
    }

    // Each candidate is probed where the search meets it, through the
    // folder that lists it (its path may be longer than any path the system
    // opens); the scratch folder is made for the first one.
    std::unique_ptr<ScratchDir> scratch;
    int matched = -1;
    off_t size = 0;
    bool unseen = false;
    unsigned char id[ID_BUF_LEN];
    SearchVisitor visitor;
    visitor.candidate = [&](int dir_fd, const char* name, const std::string& path) {
        if (scratch == nullptr)
            scratch = std::make_unique<ScratchDir>(env.scratch_dir);
        if (!scratch->ok())
            return false;
        Probe p = probe_candidate(dir_fd, name, *scratch, env, id, &matched, &size);
        if (p == Probe::Match)
            return false;
        matched = -1;
        if (p == Probe::CopyFailed || p == Probe::ReadFailed) {
            fail(p == Probe::CopyFailed ? kCandidateNotCopied : kCandidateNotRead, path.c_str(),
                 std::strerror(errno));
            unseen = true;
        }
        return true;
    };
    visitor.gap = [&](SearchGap gap, const std::string& path, int err) {
        if (gap == SearchGap::NotReentered)
            fail(kFolderLost, path.c_str());
        else
            fail(kFolderNotSearched, path.c_str(), std::strerror(err));
        unseen = true;
    };
    visitor.skip = [&](const struct stat& st) { return scratch != nullptr && scratch->is(st); };
    search_image_tree(dir, ".vkd", visitor);
    if (scratch != nullptr && !scratch->ok()) {
        fail(kScratchNotMade, env.scratch_dir.c_str(), std::strerror(scratch->error()));
        return 1;
    }
    if (matched < 0) {
        // What could not be looked at may hold the host's image.
        if (unseen)
            return 1;
        say(kNoMatch);
        return 0;
    }
    bool installed = install_image_fd(matched, size, env.cert_dir, env.image_name);
    close(matched);
    if (!installed) {
        say(kBadPath);
        return 0;
    }
    std::memcpy(g_szCID, id, CID_LEN);
    // The image is installed either way, so "Result" records it; a Key.dat
    // that keeps the old identifier is reported, not passed over.
    const bool saved = SaveCID(env.key_dat.c_str());
    if (!saved)
        fail(kKeyDatNotSaved, env.key_dat.c_str());
    const bool recorded = record_installed(env);
    return saved && recorded ? 0 : 1;
}

int cmd_analyze(const ConfigEnv& env)
{
    std::string image = env.image_path();
    if (access(image.c_str(), F_OK) != 0) {
        say(kNoImage);
        return 0;
    }
    unsigned char id[ID_BUF_LEN] = {};
    size_t len = ID_BUF_LEN;
    std::vector<char> key_file(image.begin(), image.end());
    key_file.push_back('\0');
    int rc = env.get_id ? env.get_id(reinterpret_cast<char*>(id), len, key_file.data()) : -1;
    // A device that could not be read has no identity to show.
    if (rc != 0 || len > ID_BUF_LEN)
        len = 0;
    std::string id_hex = getHex(id, static_cast<int>(len));

    // The text without an identifier would say that the machine has none.
    if (!read_key_dat(env))
        return 1;
    if (g_szCID[0] != 0) {
        std::string cid_hex = getHex(reinterpret_cast<const unsigned char*>(g_szCID), CID_LEN);
        std::printf(kAnalyzeWithCid, id_hex.c_str(), cid_hex.c_str());
    } else {
        std::printf(kAnalyze, id_hex.c_str());
    }
    return 0;
}

int cmd_show(const ConfigEnv& env)
{
    if (!read_key_dat(env))
        return 1;
    if (g_szCID[0] == 0) {
        say(kNoCid);
        return 0;
    }
    std::string cid_hex = getHex(reinterpret_cast<const unsigned char*>(g_szCID), CID_LEN);
    std::printf(kShow, cid_hex.c_str());
    return 0;
}

int run(const ConfigEnv& env, const std::string& cmd)
{
    std::fflush(stdout);
    return env.run_shell ? env.run_shell(cmd.c_str()) : -1;
}

// Exit status 1 when config.ini is there but cannot be read: the result is
// then unknown, not "failed".
int cmd_result(const ConfigEnv& env)
{
    CConfigBox box;
    if (!load_config(box, env))
        return 1;
    switch (box.get_property_as_int("Result", 0)) {
    case 0: say(kResultFailed); break;
    case 1: say(kResultOk); break;
    case 2: say(kResultKeyError); break;
    case 3: say(kResultBadMac); break;
    default: say(kResultWaiting); break;
    }
    return 0;
}

// Exit status 1 when the lock cannot be taken, config.ini cannot be read
// (what is recorded is then unknown) or the description cannot be saved;
// else 0.
int cmd_info(int argc, char** argv, const ConfigEnv& env)
{
    if (argc != 4) {
        say(kBadCommand);
        return 0;
    }
    std::string description = std::string(argv[2]) + "(" + argv[3] + ")";
    // The daemon sends the description in its identity reply, which holds
    // 1 to 128 bytes; a longer one could never be sent, nor replaced later.
    if (description.size() > MAX_USER_DESCRIPTION) {
        say(kBadCommand);
        return 0;
    }
    ConfigLock lock(env.config_dir.c_str());
    if (!locked_or_say(lock))
        return 1;
    CConfigBox box;
    if (!load_config(box, env))
        return 1;
    std::string current = box.get_property("info", "");
    if (current == "0") {
        if (box.set_property("info", description) && box.save())
            return 0;
        fail(kUserNotSaved, env.config_file.c_str());
        return 1;
    }
    std::printf(kUserKnown, current.c_str());
    return 0;
}

} // namespace

int config_main(int argc, char** argv, const ConfigEnv& env)
{
    if (argc < 2 || argc > 4 || argv == nullptr || argv[1] == nullptr) {
        say(kBadCommand);
        std::fflush(stdout);
        return 0;
    }
    std::string cmd = argv[1];
    int status = 0;
    if (cmd == "import" || cmd == "update")
        status = cmd_import(argc, argv, env);
    else if (cmd == "path")
        status = cmd_path(argc, argv, env);
    else if (cmd == "analyze")
        status = cmd_analyze(env);
    else if (cmd == "show")
        status = cmd_show(env);
    else if (cmd == "start") {
        run(env, kKillQuiet);
        run(env, env.daemon);
    } else if (cmd == "stop")
        run(env, kKill);
    else if (cmd == "result")
        status = cmd_result(env);
    else if (cmd == "info")
        status = cmd_info(argc, argv, env);
    std::fflush(stdout);
    return status;
}
