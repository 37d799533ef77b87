#include "helper/LookupEvents.h"

#include "helper/BpfLoad.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

#ifdef TARROW_NAMES_SENDERS
#include "lookup_events.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// The soname every glibc program on Linux loads its C library by.
constexpr const char* LIBRARY_SONAME = "libc.so.6";

struct CSegmentSearch
{
    const char* pszPath;
    std::uintptr_t nAddress;
    std::uint64_t nOffset = 0;
    bool bFound = false;
};

// Where in its file the loaded code at an address lies: the loader mapped each segment of the
// file from its offset.
int FindSegment(dl_phdr_info* pInfo, size_t, void* pData)
{
    auto* pSearch = static_cast<CSegmentSearch*>(pData);
    if (pInfo->dlpi_name == nullptr || std::strcmp(pInfo->dlpi_name, pSearch->pszPath) != 0)
        return 0;
    const std::uintptr_t nVirtual = pSearch->nAddress - pInfo->dlpi_addr;
    for (int i = 0; i < pInfo->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& segment = pInfo->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && nVirtual >= segment.p_vaddr && nVirtual < segment.p_vaddr + segment.p_filesz)
        {
            pSearch->nOffset = nVirtual - segment.p_vaddr + segment.p_offset;
            pSearch->bFound = true;
        }
    }
    return 1;
}

} // namespace

// Asked of the loader, by the library's own handle: a sanitizer's interceptor of the same name,
// in this program, is never taken for the library's function. The loader has chosen each
// function's default version, as it does for the programs that call it.
bool CLookupEvents::FindLibrary(CLibrary& library)
{
    void* pHandle = dlopen(LIBRARY_SONAME, RTLD_LAZY | RTLD_NOLOAD);
    link_map* pMap = nullptr;
    const bool bMapped = pHandle != nullptr && dlinfo(pHandle, RTLD_DI_LINKMAP, &pMap) == 0 && pMap != nullptr
                         && pMap->l_name != nullptr && pMap->l_name[0] == '/';
    if (bMapped)
        library.strPath = pMap->l_name;
    bool bFound = bMapped;
    for (size_t i = 0; bFound && i < std::size(FUNCTIONS); ++i)
    {
        CSegmentSearch search {library.strPath.c_str(), reinterpret_cast<std::uintptr_t>(dlsym(pHandle, FUNCTIONS[i]))};
        bFound = search.nAddress != 0 && dl_iterate_phdr(FindSegment, &search) != 0 && search.bFound;
        library.anOffsets[i] = search.nOffset;
    }
    if (pHandle != nullptr)
        dlclose(pHandle);
    return bFound;
}

CLookupEvents::~CLookupEvents()
{
    Close();
}

#ifdef TARROW_NAMES_SENDERS

namespace {

// The kernel's uprobe_multi link, as BPF_LINK_CREATE takes it: newer than this libbpf and these
// headers, so laid out here as the kernel's ABI has it.
constexpr std::uint32_t ATTACH_UPROBE_MULTI = 48;
constexpr std::uint32_t UPROBE_MULTI_RETURN = 1;
struct CUprobeMultiLink
{
    std::uint32_t nProgram = 0;
    std::uint32_t nTarget = 0;
    std::uint32_t nAttachType = ATTACH_UPROBE_MULTI;
    std::uint32_t nFlags = 0;
    std::uint64_t nPath = 0;
    std::uint64_t nOffsets = 0;
    std::uint64_t nReferenceOffsets = 0;
    std::uint64_t nCookies = 0;
    std::uint32_t nCount = 0;
    std::uint32_t nMultiFlags = 0;
    std::uint32_t nPid = 0; // 0: every process
    std::uint32_t nPad = 0;
};
static_assert(sizeof(CUprobeMultiLink) == 64);

// Each program with the functions it is attached to; the gethostbyname() family returns through
// one program, which reads what each leaves.
struct CProbe
{
    bpf_program* pProgram;
    bool bReturn;
    std::vector<size_t> functions; // indexes into FUNCTIONS
};
std::vector<CProbe> ProbesOf(lookup_events* pSkeleton)
{
    return {
        {pSkeleton->progs.OnGetaddrinfo, false, {0}},      {pSkeleton->progs.OnGethostbyname, false, {1}},
        {pSkeleton->progs.OnGethostbyname2, false, {2}},   {pSkeleton->progs.OnGethostbynameR, false, {3}},
        {pSkeleton->progs.OnGethostbyname2R, false, {4}},  {pSkeleton->progs.OnGetnameinfo, false, {5}},
        {pSkeleton->progs.OnGetaddrinfoReturn, true, {0}}, {pSkeleton->progs.OnGethostbynameReturn, true, {1, 2, 3, 4}},
        {pSkeleton->progs.OnGetnameinfoReturn, true, {5}},
    };
}

} // namespace

bool CLookupEvents::Open()
{
    if (!HoldsBpfLoadRights())
        return false;
    CLibrary library;
    if (!FindLibrary(library))
    {
        errno = ENOENT;
        return false;
    }
    SilenceLibbpf();
    // The multi links first: of the two ways, the only one that needs no more rights than these.
    if (Load(true) && AttachMulti(library))
        return true;
    Close();
    if (!Load(false) || !AttachThroughPerf(library))
    {
        const int nError = errno;
        Close();
        errno = nError;
        return false;
    }
    return true;
}

bool CLookupEvents::Load(bool bMultiLinks)
{
    struct stat netns
    {};
    if (stat("/proc/self/ns/net", &netns) != 0)
        return false;
    m_pSkeleton = lookup_events__open();
    if (m_pSkeleton == nullptr)
        return false;
    m_pSkeleton->rodata->capture_netns = std::uint32_t(netns.st_ino);
    for (const CProbe& probe : ProbesOf(m_pSkeleton))
    {
        if (bMultiLinks)
            bpf_program__set_expected_attach_type(probe.pProgram, bpf_attach_type(ATTACH_UPROBE_MULTI));
    }
    if (!CheckLibbpf(lookup_events__load(m_pSkeleton)))
        return false;
    if (m_pSkeleton->bss == nullptr)
    {
        errno = EOPNOTSUPP;
        return false;
    }
    return m_ring.Map(bpf_map__fd(m_pSkeleton->maps.lookups), bpf_map__max_entries(m_pSkeleton->maps.lookups));
}

bool CLookupEvents::AttachMulti(const CLibrary& library)
{
    for (const CProbe& probe : ProbesOf(m_pSkeleton))
    {
        std::vector<std::uint64_t> offsets;
        for (const size_t nFunction : probe.functions)
            offsets.push_back(library.anOffsets[nFunction]);
        CUprobeMultiLink link;
        link.nProgram = std::uint32_t(bpf_program__fd(probe.pProgram));
        link.nPath = reinterpret_cast<std::uintptr_t>(library.strPath.c_str());
        link.nOffsets = reinterpret_cast<std::uintptr_t>(offsets.data());
        link.nCount = std::uint32_t(offsets.size());
        link.nMultiFlags = probe.bReturn ? UPROBE_MULTI_RETURN : 0;
        const long hLink = syscall(__NR_bpf, BPF_LINK_CREATE, &link, sizeof(link));
        if (hLink < 0)
            return false;
        m_linkFds.push_back(int(hLink));
    }
    return true;
}

bool CLookupEvents::AttachThroughPerf(const CLibrary& library)
{
    for (const CProbe& probe : ProbesOf(m_pSkeleton))
    {
        for (const size_t nFunction : probe.functions)
        {
            LIBBPF_OPTS(bpf_uprobe_opts, options, .retprobe = probe.bReturn);
            // Every process that maps the file, now and later.
            bpf_link* pLink = bpf_program__attach_uprobe_opts(probe.pProgram, -1, library.strPath.c_str(),
                                                              library.anOffsets[nFunction], &options);
            if (pLink == nullptr)
                return false;
            m_links.push_back(pLink);
        }
    }
    return true;
}

std::uint64_t CLookupEvents::GetLost() const
{
    return !IsOpen() ? 0 : __atomic_load_n(&m_pSkeleton->bss->lost_lookups, __ATOMIC_RELAXED);
}

int CLookupEvents::GetFd() const
{
    return !IsOpen() ? -1 : bpf_map__fd(m_pSkeleton->maps.lookups);
}

void CLookupEvents::Close()
{
    m_ring.Unmap();
    for (bpf_link* pLink : m_links)
        bpf_link__destroy(pLink);
    m_links.clear();
    for (const int hLink : m_linkFds)
        close(hLink);
    m_linkFds.clear();
    lookup_events__destroy(m_pSkeleton);
    m_pSkeleton = nullptr;
}

#else

bool CLookupEvents::Open()
{
    if (HoldsBpfLoadRights())
        errno = EOPNOTSUPP;
    return false;
}

std::uint64_t CLookupEvents::GetLost() const
{
    return 0;
}

int CLookupEvents::GetFd() const
{
    return -1;
}

void CLookupEvents::Close()
{}

#endif
