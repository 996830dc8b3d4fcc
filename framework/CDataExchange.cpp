#include "CDataExchange.h"

#include "CDialog.h"

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    if (!pDX->m_pDlgWnd->AttachControl(id, control)) {
        // A dialog template without the item: the wrapper stays unbound, and every call
        // on it does nothing. Say so to a debugger, as nothing else can notice.
        char line[80];
        wsprintfA(line, "DDX_Control: no dialog item %d to bind\n", id);
        OutputDebugStringA(line);
    }
}
