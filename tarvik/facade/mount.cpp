// Sign-in, mount, unmount and the session exports. Filled in by the mount
// work; until then each reports failure.
#include "tarvik.h"

extern "C" {

int tarvik_mount(const char*, const char*, const char*, const char*, MountType, bool) { return -1; }

int tarvik_mountForSession(const char*, const char*, const char*, const char*, const char*,
                           MountType, bool) {
  return -1;
}

int tarvik_unmount(void) { return -1; }

int tarvik_getPKIInfo(char*, char*, bool*) { return -1; }

int tarvik_getAnnouncement(bool, char*, int64_t*) { return -1; }

int tarvik_markReadCurrentAnnouncement(void) { return -1; }

}  // extern "C"
