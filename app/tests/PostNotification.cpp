// Posts one distributed notification on the current system root, from a process of its own.
#include "base/DistributedNotificationCenter.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: kw-post-notification NAME OBJECT\n");
        return 2;
    }
    kw::DistributedNotificationCenter::post(argv[1], argv[2]);
    return 0;
}
