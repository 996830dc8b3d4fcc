#pragma once

#include "CEdit.h"
#include "CRedirector.h"

// The redirector whose output and failure lines are appended at the end of an edit
// control (the converter window's log box).
class CMyRedirector : public CRedirector
{
public:
    CEdit* m_pOutputEdit;   // not owned; null drops the text

    CMyRedirector() : m_pOutputEdit(NULL) {}

    void OnOutputText(const char* text) override;
    void OnErrorText(const char* text) override;
};
