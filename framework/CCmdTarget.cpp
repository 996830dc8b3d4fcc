#include "CCmdTarget.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {
        { 0, 0, 0, 0, AfxSig_end, static_cast<AFX_PMSG>(0) }
    };
    static const AFX_MSGMAP messageMap = { NULL, &entries[0] };
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(const AFX_MSGMAP* map, UINT message, UINT code,
                                                     UINT id)
{
    for (; map != NULL; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : NULL) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nSig != AfxSig_end; ++entry) {
            if (entry->nMessage != message)
                continue;
            if (message == WM_COMMAND &&
                (entry->nCode != code || id < entry->nID || id > entry->nLastID))
                continue;
            return entry;
        }
    }
    return NULL;
}

BOOL CCmdTarget::OnCmdMsg(UINT id, int code)
{
    const AFX_MSGMAP_ENTRY* entry =
        FindMessageEntry(GetMessageMap(), WM_COMMAND, static_cast<UINT>(code), id);
    if (entry == NULL || entry->nSig != AfxSig_vv)
        return FALSE;
    (this->*entry->pfn)();
    return TRUE;
}
