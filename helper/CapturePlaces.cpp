#include "helper/CapturePlaces.h"

#include "channel/Channel.h"
#include "channel/UniqueFd.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// An abstract Unix socket name per place: nothing touches the file system.
int TakeCapturePlace()
{
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;)
    {
        for (int nPlace = 0; nPlace < Channel::MAX_CAPTURES_PER_USER; ++nPlace)
        {
            CUniqueFd place(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (!place.IsOpen())
                return -1;
            sockaddr_un addr {};
            addr.sun_family = AF_UNIX;
            const std::string strName = "tarrow-capture/" + std::to_string(getuid()) + "/" + std::to_string(nPlace);
            std::memcpy(addr.sun_path + 1, strName.data(), strName.size());
            const auto nLength = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + strName.size());
            if (bind(place.Get(), reinterpret_cast<const sockaddr*>(&addr), nLength) == 0)
                return place.Release();
            if (errno != EADDRINUSE)
                return -1;
        }
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000
            >= Channel::CAPTURE_PLACE_WAIT_MS)
        {
            errno = EUSERS;
            return -1;
        }
        const timespec pause {0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
