#pragma once
// The commands of the configuration tool as one routine, with every fixed
// path and every contact with the system (the shell, the key device) passed
// in, so the same code serves the program and the tests.

#include <cstddef>
#include <functional>
#include <string>

struct ConfigEnv {
    std::string cert_dir;     // folder of the installed image
    std::string image_name;   // name of the installed image in cert_dir
    std::string config_file;  // config.ini
    std::string config_dir;   // folder of the lock file held around every load...save of config_file
    std::string key_dat;      // machine identifier file
    std::string daemon;       // daemon program that start runs
    std::string scratch_dir;  // parent of the private folder in which path probes images
    // Runs one shell command and returns its status (pox_system).
    std::function<int(const char*)> run_shell;
    // Identity of key slot 1 of the image at keyFile (kmx_getid): 0 and the
    // identity in id (capacity 100) with its length, or a non-zero status.
    std::function<int(char* id, size_t& len, char* keyFile)> get_id;

    std::string image_path() const { return cert_dir + "/" + image_name; }
};

// Runs the command of argv (argv[1], its arguments after it) and returns the
// exit status: 0, except 1 when a command could not read or save a file it
// needs (reported on standard error): config.ini or Key.dat exists but
// cannot be read (result, info, show, analyze, path); info, import, update
// or path could not take the lock that guards config.ini (an image is
// installed all the same, "Result" is not recorded); import, update or path
// installed an image but could not record "Result" 11; info could not save
// the description; path could not make its scratch folder, or a candidate
// could not be read or copied there, or a part of the tree could not be
// searched, and no candidate matched; or path could not write the adopted
// identity to Key.dat. Messages go to standard output.
int config_main(int argc, char** argv, const ConfigEnv& env);

// Texts of the tool.
namespace config_text {
inline constexpr const char* kBadCommand = "请输入正确命令！ ";
inline constexpr const char* kNoSource = "请输入相关证书的源路经！ ";
inline constexpr const char* kBadPath = "证书路径错误！ ";
inline constexpr const char* kBadType = "证书类型暂不支持！";
inline constexpr const char* kNoCid = "还未获取该机器的唯一标识。";
inline constexpr const char* kNoMatch = "未匹配到当前机器私钥文件！";
inline constexpr const char* kNoImage = "不存在证书，请导入证书！";
inline constexpr const char* kAnalyzeWithCid = "当前证书公钥：%s，该机器的唯一标识是：%s。\n";
inline constexpr const char* kAnalyze = "当前证书公钥：%s。\n";
inline constexpr const char* kShow = "该机器的唯一标识是：TYPE=SM2-KMX,CID=%s。\n,";
inline constexpr const char* kUserKnown = "当前已有使用者信息：%s。\n,";
inline constexpr const char* kResultFailed = "认证失败！";
inline constexpr const char* kResultOk = "认证成功！";
inline constexpr const char* kResultKeyError = "密钥错误！";
inline constexpr const char* kResultBadMac = "非认证mac！";
inline constexpr const char* kResultWaiting = "等待认证！";
// On standard error, with Key.dat's path: path could not record the adopted
// identity.
inline constexpr const char* kKeyDatNotSaved = "机器唯一标识未能写入 %s！\n";
// On standard error, with the path of config.ini: "Result" 11 could not be
// recorded after an installation, or info could not save the description.
inline constexpr const char* kResultNotSaved = "认证结果未能写入 %s！\n";
inline constexpr const char* kUserNotSaved = "使用者信息未能写入 %s！\n";
// On standard error: the file named exists but cannot be read (%s the file,
// then the reason).
inline constexpr const char* kNotRead = "无法读取 %s：%s！\n";
// On standard error: path could not make its scratch folder in the folder
// named (%s the folder, then the reason), or could not copy the candidate
// named there (%s the candidate, then the reason).
inline constexpr const char* kScratchNotMade = "无法在 %s 中建立临时目录：%s！\n";
inline constexpr const char* kCandidateNotCopied = "无法复制候选证书 %s：%s！\n";
// On standard error (%s the lock file, then the reason): info, import, update
// or path could not take the lock that guards config.ini, which they then
// neither read nor change (exit status 1).
inline constexpr const char* kConfigNotLocked = "无法取得配置文件的锁 %s：%s！\n";
// On standard error: path could not read the candidate named (%s the
// candidate, then the reason), could not open or list the folder named (%s
// the folder, then the reason), or could not get back into the folder named,
// which was moved or replaced while it was searched (what it still held was
// not searched).
inline constexpr const char* kCandidateNotRead = "无法读取候选证书 %s：%s！\n";
inline constexpr const char* kFolderNotSearched = "无法搜索目录 %s：%s！\n";
inline constexpr const char* kFolderLost = "目录 %s 在搜索时被移动或替换，其中其余内容未能搜索！\n";
// start and stop end the daemon by name through killall (package psmisc,
// needed at run time).
inline constexpr const char* kKillQuiet = "killall -9 Tarnhold > /dev/null 2>&1";
inline constexpr const char* kKill = "killall -9 Tarnhold";
} // namespace config_text

// The identity reply carries a description of 1 to 128 bytes.
inline constexpr size_t MAX_USER_DESCRIPTION = 128;
// "Result" after an installation.
inline constexpr int RESULT_INSTALLED = 11;
