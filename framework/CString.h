#pragma once

#include <cstdarg>
#include <string>

// Narrow (system ANSI code page) text. Every length and position is a count of bytes.
class CString
{
public:
    CString() {}
    CString(const char* psz) : m_str(psz ? psz : "") {}
    CString(const char* pch, int length) : m_str(pch ? pch : "", pch && length > 0 ? length : 0) {}
    CString(const CString& other) : m_str(other.m_str) {}
    CString& operator=(const CString& other) { m_str = other.m_str; return *this; }
    CString& operator=(const char* psz) { m_str = psz ? psz : ""; return *this; }

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    operator const char*() const { return m_str.c_str(); }
    const char* GetString() const { return m_str.c_str(); }
    char GetAt(int index) const { return m_str[static_cast<size_t>(index)]; }
    char operator[](int index) const { return GetAt(index); }

    // The first / last / middle part; counts beyond the ends are clamped, as the class
    // library does: too large a count gives the whole text, zero or less gives "".
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    int Find(char ch, int start = 0) const;
    int Find(const char* psz, int start = 0) const;
    int ReverseFind(char ch) const;

    // printf-style formatting; replaces the whole text.
    void Format(const char* format, ...);
    void FormatV(const char* format, va_list args);

    CString& operator+=(const CString& other) { m_str += other.m_str; return *this; }
    CString& operator+=(const char* psz) { if (psz) m_str += psz; return *this; }
    CString& operator+=(char ch) { m_str += ch; return *this; }

    int Compare(const char* psz) const { return m_str.compare(psz ? psz : ""); }
    int CompareNoCase(const char* psz) const;

    // Direct access for API calls that fill a buffer; ReleaseBuffer(-1) takes the text
    // up to its first NUL.
    char* GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

private:
    std::string m_str;
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const char* b);
CString operator+(const char* a, const CString& b);

inline bool operator==(const CString& a, const CString& b) { return a.Compare(b) == 0; }
inline bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
inline bool operator==(const char* a, const CString& b) { return b.Compare(a) == 0; }
inline bool operator!=(const CString& a, const CString& b) { return !(a == b); }
inline bool operator!=(const CString& a, const char* b) { return !(a == b); }
inline bool operator!=(const char* a, const CString& b) { return !(a == b); }
inline bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
