// The common file dialogs: the operator's next "file" step answers them; the
// answer is checked as the dialog would (must exist, buffer size, default extension).
#include <sys/stat.h>

#include <cstring>

#include "ntsim/kernel/faults.h"
#include "ntsim/user/operator.h"
#include "ntsim/kernel/paths.h"
#include "ntsim/user/state.h"

using namespace ntsim;

namespace {

thread_local DWORD t_commDlgError = 0;

bool Exists(const std::string& windowsPath) {
    std::string host;
    if (MapWindowsPath(windowsPath, &host) != ERROR_SUCCESS) return false;
    struct stat st;
    return stat(host.c_str(), &st) == 0;
}

BOOL Run(LPOPENFILENAMEA ofn, bool save) {
    UserEnsureStarted();
    t_commDlgError = 0;
    if (!ofn || ofn->lStructSize < OPENFILENAME_SIZE_VERSION_400A || !ofn->lpstrFile || ofn->nMaxFile == 0) {
        t_commDlgError = 0x0001;  // CDERR_STRUCTSIZE
        return FALSE;
    }
    uint32_t err;
    if (FaultHit(save ? "GetSaveFileNameA" : "GetOpenFileNameA", ofn->lpstrFile, &err)) {
        t_commDlgError = err;
        return FALSE;
    }
    std::string proposed(ofn->lpstrFile, strnlen(ofn->lpstrFile, ofn->nMaxFile));
    std::string title = ofn->lpstrTitle ? ofn->lpstrTitle : (save ? "Save As" : "Open");
    std::string answer;
    if (!OperatorAnswerFile(save, title, proposed, &answer)) return FALSE;
    std::string name = answer.substr(answer.find_last_of("\\/:") == std::string::npos ? 0 : answer.find_last_of("\\/:") + 1);
    if (ofn->lpstrDefExt && *ofn->lpstrDefExt && name.find('.') == std::string::npos)
        answer += std::string(".") + ofn->lpstrDefExt;
    if ((ofn->Flags & OFN_FILEMUSTEXIST) && !Exists(answer)) {
        TranscriptAdd("  the dialog refuses \"" + answer + "\": the file does not exist; cancelled");
        return FALSE;
    }
    if (answer.size() + 1 > ofn->nMaxFile) {
        // The buffer is too small: its first two bytes carry the size needed.
        t_commDlgError = FNERR_BUFFERTOOSMALL;
        if (ofn->nMaxFile >= 2) *(WORD*)ofn->lpstrFile = (WORD)(answer.size() + 1);
        return FALSE;
    }
    memcpy(ofn->lpstrFile, answer.c_str(), answer.size() + 1);
    size_t slash = answer.find_last_of('\\');
    ofn->nFileOffset = (WORD)(slash == std::string::npos ? 0 : slash + 1);
    size_t dot = answer.find_last_of('.');
    ofn->nFileExtension = (WORD)(dot == std::string::npos || dot < ofn->nFileOffset ? answer.size() : dot + 1);
    if (ofn->lpstrFileTitle && ofn->nMaxFileTitle)
        snprintf(ofn->lpstrFileTitle, ofn->nMaxFileTitle, "%s", answer.c_str() + ofn->nFileOffset);
    return TRUE;
}

}  // namespace

BOOL GetOpenFileNameA(LPOPENFILENAMEA lpofn) { return Run(lpofn, false); }
BOOL GetSaveFileNameA(LPOPENFILENAMEA lpofn) { return Run(lpofn, true); }
DWORD CommDlgExtendedError(VOID) { return t_commDlgError; }
