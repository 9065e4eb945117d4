// config: the operator's tool. One command per invocation; failures and
// answers are console messages, and the exit status is 0 except when a
// command cannot read or save a file it needs (config_main).
#include "common/paths.h"
#include "config/config_tool.h"
#include "config/image_search.h"
#include "keydev/kmxdev.h"

int main(int argc, char** argv)
{
    ConfigEnv env;
    env.cert_dir = CERT_DIR;
    env.image_name = "private.vkd";
    env.config_file = MAVO_CONFIG_FILE;
    env.config_dir = MAVO_DIR;
    env.key_dat = MAVO_KEY_DAT_FILE;
    env.daemon = MAVO_DAEMON_FILE;
    env.scratch_dir = "/tmp";
    env.run_shell = pox_system;
    env.get_id = kmx_getid;
    return config_main(argc, argv, env);
}
