// A volume without a drive letter, as a User Profile Disk or a profile
// container gives a profile: a virtual disk, made and attached with
// diskpart, formatted NTFS and mounted at a folder. Windows only.
#ifndef TESTS_VOLUME_H
#define TESTS_VOLUME_H

#include <string>

struct MountedVolume {
    // Mounts a new virtual disk at `folder` (made, and left empty).
    explicit MountedVolume(const std::string &folder);
    // Detaches and deletes the disk; the folder is left as it was.
    ~MountedVolume();
    std::string folder, disk;
    std::string error;      // "" once mounted; else what went wrong
};

#endif
