// The open and save dialogs. A dialog shows its title, folder, file types and initial name on
// standard error and asks for a file name: the variable KIVO_FILEDIALOG_ANSWER answers first, for
// automated runs; else, with a display (or DISPLAY set), the desktop's file chooser (zenity or
// kdialog, when one is on PATH) asks; else the controlling terminal does, and without a terminal
// the dialog is cancelled. Paths are this platform's: "/" separates directories, "\" and ":" are ordinary
// file-name characters.
#pragma once

#include "platform/KvoWinTypes.h"

// A dialog hook procedure. The console dialogs never call it.
using LPOFNHOOKPROC = UINT_PTR (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The dialog record in this platform's layout (natural alignment, pointer-sized pointers).
// Text is UTF-16 with terminating zeros.
struct OPENFILENAMEW {
    DWORD lStructSize;           // sizeof(OPENFILENAMEW), else the call fails with CDERR_STRUCTSIZE
    HWND hwndOwner;              // accepted and not used: the console has one dialog at a time
    HINSTANCE hInstance;         // not used
    const KvoChar* lpstrFilter;  // pairs of description and pattern, each ending with a zero, and
                                 // one more zero after the last pair; null for none
    KvoChar* lpstrCustomFilter;  // not used
    DWORD nMaxCustFilter;        // not used
    DWORD nFilterIndex;          // kept as it is
    KvoChar* lpstrFile;          // in: the initial file name (read within nMaxFile units);
                                 // out: the chosen path
    DWORD nMaxFile;              // capacity of lpstrFile in units, the terminating zero included
    KvoChar* lpstrFileTitle;     // out (when not null): the chosen name without its directory
    DWORD nMaxFileTitle;         // capacity of lpstrFileTitle in units
    const KvoChar* lpstrInitialDir; // the folder that a relative answer is taken from; null or
                                    // "" for the current directory
    const KvoChar* lpstrTitle;   // shown above the question; null: "Open" or "Save As"
    DWORD Flags;                 // OFN_* below; OFN_EXTENSIONDIFFERENT is set or cleared on return
    WORD nFileOffset;            // out: index of the name in lpstrFile
    WORD nFileExtension;         // out: index of the extension (after its "."), see below
    const KvoChar* lpstrDefExt;  // appended (after a ".") to a chosen name without extension
    LPARAM lCustData;            // not used
    LPOFNHOOKPROC lpfnHook;      // not used
    const KvoChar* lpTemplateName; // not used
};

// Flags. The ones not described are accepted and have no effect on the console.
constexpr DWORD OFN_READONLY = 0x00000001;
// Save: choosing an existing file asks whether to replace it (an automated answer replaces).
constexpr DWORD OFN_OVERWRITEPROMPT = 0x00000002;
constexpr DWORD OFN_HIDEREADONLY = 0x00000004;
constexpr DWORD OFN_NOCHANGEDIR = 0x00000008;
constexpr DWORD OFN_SHOWHELP = 0x00000010;
constexpr DWORD OFN_ENABLEHOOK = 0x00000020;
constexpr DWORD OFN_ENABLETEMPLATE = 0x00000040;
constexpr DWORD OFN_NOVALIDATE = 0x00000100;
constexpr DWORD OFN_ALLOWMULTISELECT = 0x00000200;
// Out: the chosen name's extension differs from lpstrDefExt (compared without regard to case).
constexpr DWORD OFN_EXTENSIONDIFFERENT = 0x00000400;
// The chosen file's directory must exist.
constexpr DWORD OFN_PATHMUSTEXIST = 0x00000800;
// The chosen file must exist (implies OFN_PATHMUSTEXIST).
constexpr DWORD OFN_FILEMUSTEXIST = 0x00001000;
// Choosing a file that does not exist asks whether to create it (an automated answer creates).
constexpr DWORD OFN_CREATEPROMPT = 0x00002000;
constexpr DWORD OFN_NOREADONLYRETURN = 0x00008000;
constexpr DWORD OFN_EXPLORER = 0x00080000;

// The longest path a dialog gives, in UTF-16 units without the terminating zero; the offsets of
// the record are 16 bits wide.
constexpr DWORD KVO_MAX_DIALOG_PATH = 32767;

// Errors that CommDlgExtendedError reports.
constexpr DWORD CDERR_STRUCTSIZE = 0x0001;
constexpr DWORD CDERR_INITIALIZATION = 0x0002;
// The chosen path is longer than the dialogs accept (KVO_MAX_DIALOG_PATH).
constexpr DWORD FNERR_INVALIDFILENAME = 0x3002;
// The chosen path (or its name, for lpstrFileTitle) does not fit the caller's buffer.
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;

extern "C" {

// Shows the open (save) dialog for the record and returns TRUE when a file was chosen: its full
// path is in lpstrFile, nFileOffset is the index of its last component, and nFileExtension the
// index after the last "." of that component (not counting a leading "."), the index of the
// terminating zero when it has no extension, or 0 when it ends with ".". A relative answer is
// taken from lpstrInitialDir and then from the current directory, so the path is absolute.
// lpstrDefExt (a leading "." skipped) is appended after a "." when the last component has no ".".
//
// The answer is KIVO_FILEDIALOG_ANSWER when the variable is set (an empty value cancels), else the
// file chooser's (taken like the variable's; its Cancel cancels; when it fails to run the terminal
// asks instead), else a line typed on the controlling terminal (blanks at its ends dropped; an empty line or end of
// input cancels). Without a terminal the dialog is cancelled. A directory is never a file's
// name, and the flags refuse more (a missing directory or file, a file not to be replaced or
// created): a typed answer that is refused asks again, a refused automated answer cancels the
// dialog (asking again would give the same answer). The refusal is told on standard error.
//
// FALSE when the dialog was cancelled (CommDlgExtendedError 0) or failed: CDERR_INITIALIZATION
// for a null record or a null lpstrFile or nMaxFile 0, CDERR_STRUCTSIZE for a wrong lStructSize,
// FNERR_INVALIDFILENAME or FNERR_BUFFERTOOSMALL as above. When the path does not fit, lpstrFile[0]
// receives the units it needs (with the terminating zero, at most 0xFFFF) and nothing else of
// the buffer is written; nothing is ever written past nMaxFile or nMaxFileTitle units.
KVO_API BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);
KVO_API BOOL GetSaveFileNameW(OPENFILENAMEW* ofn);

// The error of the calling thread's last dialog: 0 after success or cancellation.
KVO_API DWORD CommDlgExtendedError();

} // extern "C"
