#pragma once
// Byte-level reading and rewriting of scan templates (".ost"). Nothing here
// touches the platform: the functions work on bytes already in memory, so they
// build natively anywhere (the fuzz targets use them as they are).
//
// A template is 8-bit text read the way a text-mode stream reads it: a CR LF
// pair reads as one newline, a lone CR stays a CR, and a Ctrl-Z (0x1A) ends the
// text. Lines are read in pieces of at most 511 bytes, the newline kept; each
// piece counts as a line of its own. A line's text ends at its first NUL byte,
// as it does for every C text function a reader applies to it.
#include <cstddef>

constexpr size_t kTemplateLineBytes = 512;  // one piece and its terminator
constexpr size_t kAddressFieldBytes = 32;   // the PC's address as narrow text

struct SendToFolderSettings {
    char szPCFolderPath[512];
    char szPCBaseFileName[512];
    char szPCPreview[512];
    bool bSendToFolder;
    // The value kept for the folder or the base name ran to the end of a piece
    // that ended before its line did: only its start was read.
    bool bFolderCut;
    bool bBaseNameCut;
};

// Bytes of the text part of a template: everything before the first Ctrl-Z.
size_t TemplateTextLength(const char* pData, size_t cbData);

// Reads a template's text part piece by piece, as a text-mode stream would.
class TemplateTextReader {
public:
    TemplateTextReader(const char* pData, size_t cbData);

    // Reads up to cbLine - 1 bytes, ending after the first newline when one comes
    // earlier, and terminates them. Answers the number of bytes read; 0 once the
    // text is exhausted (or when cbLine < 2).
    size_t ReadLine(char* pszLine, size_t cbLine);

private:
    const char* m_pData;
    size_t m_cbText;
    size_t m_ibNext = 0;
};

// The value rule: the line is split at every double quote, empty pieces are
// dropped, and the second piece is the value. Answers false when the line has
// fewer than two pieces; otherwise points *ppValue into the line and gives the
// value's length. Keeps no state between calls.
bool GetQuotedValue(const char* pszLine, const char** ppValue, size_t* pcbValue);

// Four decimal numbers 0-255 of one to three digits, joined by dots, and
// nothing else: the only repository value the refresh rewrites.
bool IsDottedIPv4Address(const char* psz);

// How a settings read ended.
enum class SettingsReadEnd {
    EndOfText,
    PreviewOn,  // a "PCPreview" value "ON" stopped the read, delivery off
};

// Reads the send-to-folder settings of a template's bytes into *pSettings,
// which it clears first. A value that ends with the line's newline (its
// closing quote is missing) loses it, so `Key=""` gives an empty value.
// A folder or base name value that runs to the end of a full piece (511
// bytes, no newline) is marked cut.
SettingsReadEnd ReadSendToFolderSettingsFromBytes(const char* pData, size_t cbData, SendToFolderSettings* pSettings);

// Finds the first line piece that holds "RepositoryName" and a value, and
// copies that value into pszValue (cbValue bytes; kTemplateLineBytes always
// holds it). A newline at the end of the value (its closing quote is missing)
// is not part of it: an address never holds one, and replacing it would join
// two lines. Pieces whose value is nothing but that newline, or whose value
// runs to the end of a full piece (cut short), are passed over.
// False when no piece qualifies or the value does not fit.
bool FindRepositoryValue(const char* pData, size_t cbData, char* pszValue, size_t cbValue);

// The repository rewrite replaces every non-overlapping occurrence of pszOld in
// the text part, left to right, by pszNew, where it stands as a whole address:
// an occurrence that a digit, or a dot and a digit, continues on either side
// is part of a longer number or address and stays. Every other byte, line
// ends and anything from a Ctrl-Z on included, is kept as it stands. pszOld
// must be a dotted IPv4 address (IsDottedIPv4Address).
//
// Measure answers false when pszOld is unusable or the size would overflow.
bool MeasureRepositoryRewrite(const char* pData, size_t cbData, const char* pszOld, const char* pszNew,
                              size_t* pcbNew);
// Writes the new bytes into pOut and their count into *pcbWritten. False, with
// nothing written past cbOut, when pszOld is unusable or cbOut is too small.
bool WriteRepositoryRewrite(const char* pData, size_t cbData, const char* pszOld, const char* pszNew, char* pOut,
                            size_t cbOut, size_t* pcbWritten);
