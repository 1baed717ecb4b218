// kw-authexec: the setuid-root starter of the privileged runner. See AuthexecMain.h.
#include "AuthexecMain.h"

int main(int argc, char** argv, char** envp)
{
    return kw::authexec::authexecMain(argc, argv, envp, kw::authexec::installedConfig());
}
