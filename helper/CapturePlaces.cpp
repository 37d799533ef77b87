#include "helper/CapturePlaces.h"

#include "channel/Channel.h"
#include "channel/UniqueFd.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char COUNT_FILE_NAME[] = ".tarrow-captures";

// Opened without following a link, and only when it belongs to the user and nobody else may write
// in it: then no one else can make, remove or hold the file of places.
CUniqueFd OpenPrivateFolder(const std::string& strPath, uid_t uid)
{
    CUniqueFd folder(open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info
    {};
    if (!folder.IsOpen() || fstat(folder.Get(), &info) != 0)
        return CUniqueFd();
    if (info.st_uid != uid || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        errno = EACCES;
        return CUniqueFd();
    }
    return folder;
}

std::vector<std::string> PrivateFolders(uid_t uid)
{
    std::vector<std::string> folders = {"/run/user/" + std::to_string(uid)};
    passwd entry {};
    passwd* pEntry = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pEntry) == 0 && pEntry != nullptr
        && pEntry->pw_dir != nullptr && pEntry->pw_dir[0] == '/')
        folders.emplace_back(pEntry->pw_dir);
    return folders;
}

CUniqueFd OpenCountFile()
{
    const uid_t uid = getuid();
    int nError = ENOENT;
    for (const std::string& strFolder : PrivateFolders(uid))
    {
        const CUniqueFd folder = OpenPrivateFolder(strFolder, uid);
        if (!folder.IsOpen())
        {
            nError = errno;
            continue;
        }
        CUniqueFd file(openat(folder.Get(), COUNT_FILE_NAME, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat info
        {};
        if (file.IsOpen() && fstat(file.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == uid)
            return file;
        nError = file.IsOpen() ? EACCES : errno;
    }
    errno = nError;
    return CUniqueFd();
}

// An open-file-description lock: held by this descriptor alone, and gone with it.
bool LockPlace(int fd, int nPlace)
{
    struct flock lock
    {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = nPlace;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

long ElapsedMs(const timespec& start)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

} // namespace

int TakeCapturePlace()
{
    CUniqueFd file = OpenCountFile();
    if (!file.IsOpen())
        return -1;
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;)
    {
        for (int nPlace = 0; nPlace < Channel::MAX_CAPTURES_PER_USER; ++nPlace)
        {
            if (LockPlace(file.Get(), nPlace))
                return file.Release();
            if (errno != EAGAIN && errno != EACCES)
                return -1;
        }
        if (ElapsedMs(start) >= long(Channel::CAPTURE_PLACE_WAIT_MS))
        {
            errno = EUSERS;
            return -1;
        }
        const timespec pause {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
