#include "CPaintDC.h"

#include "CWnd.h"

CPaintDC::CPaintDC(CWnd* window) : m_hWnd(window->GetSafeHwnd())
{
    ZeroMemory(&m_ps, sizeof m_ps);
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    if (m_hDC != NULL)
        ::EndPaint(m_hWnd, &m_ps);
}
