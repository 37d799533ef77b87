#pragma once

#include <string>
#include <vector>

// Why a capture helper that was tried could not capture for this user, in words, with the one
// command that mends it: it does not exist; this user may not run it (not in its group, or in it
// only since the last login, or the copy is another user's); its file lacks cap_net_raw; or its
// grant was refused by the kernel. Reads only the file's metadata and this process's groups.
struct CHelperDiagnosis
{
    std::string strPath;
    std::string strWhy; // "it does not exist", ...
    std::string strFix; // one command, or empty when none can be named
};

// strInstalledPath: the package's helper, the one file whose grant is worth mending in place; any
// other (the build tree's, a copy) is mended by start.sh's root-owned copy instead.
CHelperDiagnosis DiagnoseHelper(const std::string& strPath, const std::string& strInstalledPath);

// The text a refused start adds below the open step's own: each helper tried and why it failed,
// then the command that mends the last (the one most likely meant).
std::string ExplainRefusal(const std::vector<std::string>& tried, const std::string& strInstalledPath);
