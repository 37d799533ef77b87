#include "common/GrantedHelper.h"

#include <filesystem>
#include <stdlib.h>
#include <sys/capability.h>
#include <sys/stat.h>

CGrantedHelper::CGrantedHelper(const std::string& strHelper, const char* pszRights)
{
    char szFolder[] = "/run/tarrow-test-XXXXXX";
    if (mkdtemp(szFolder) == nullptr || chmod(szFolder, 0755) != 0)
        return;
    m_strFolder = szFolder;
    const std::string strPath = m_strFolder + "/tarrow-capture-helper";
    std::error_code error;
    std::filesystem::copy_file(strHelper, strPath, error);
    cap_t pCaps = cap_from_text(pszRights);
    if (!error && chmod(strPath.c_str(), 0755) == 0 && pCaps != nullptr && cap_set_file(strPath.c_str(), pCaps) == 0)
        m_strPath = strPath;
    cap_free(pCaps);
}

CGrantedHelper::~CGrantedHelper()
{
    std::error_code error;
    if (!m_strFolder.empty())
        std::filesystem::remove_all(m_strFolder, error);
}
