#pragma once

#include <windows.h>

#include "CObject.h"

struct AFX_MSGMAP;
struct AFX_MSGMAP_ENTRY;

// Base of every class that receives window messages or commands. Each class with a
// message map answers GetMessageMap() with its own; a message its map lacks is looked
// up in the base class's map, and so on up to this class's empty one.
class CCmdTarget : public CObject
{
public:
    // Runs the handler of command `id` with notification `code`, if any map in the chain
    // has one. Returns TRUE when a handler ran.
    virtual BOOL OnCmdMsg(UINT id, int code);

    // The first entry for `message` (and, for WM_COMMAND, `code` and `id`) in `map` or
    // one of its base maps; null when there is none.
    static const AFX_MSGMAP_ENTRY* FindMessageEntry(const AFX_MSGMAP* map, UINT message, UINT code,
                                                    UINT id);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// A message handler as stored in a message map. Handlers of other signatures are stored
// through reinterpret_cast and cast back to their own type (tagged by nSig) before the
// call, which is the one use of such a cast the language defines. (Declared after the
// class is complete, so every compiler gives all these pointer types one layout.)
typedef void (CCmdTarget::*AFX_PMSG)();

// Handler signatures.
enum AfxSig
{
    AfxSig_end = 0,   // marks the end of a map
    AfxSig_vv,        // void handler()            commands, button clicks, WM_PAINT
    AfxSig_hv,        // HCURSOR handler()         WM_QUERYDRAGICON
    AfxSig_vD         // void handler(HDROP)       WM_DROPFILES
};

struct AFX_MSGMAP_ENTRY
{
    UINT nMessage;    // window message; WM_COMMAND for commands and control notifications
    UINT nCode;       // notification code (WM_COMMAND only)
    UINT nID;         // first command or control id (WM_COMMAND only)
    UINT nLastID;     // last id of the range
    UINT nSig;        // an AfxSig value
    AFX_PMSG pfn;
};

struct AFX_MSGMAP
{
    const AFX_MSGMAP* (*pfnGetBaseMap)();   // null for the root map
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// In the class declaration.
#define DECLARE_MESSAGE_MAP()                                                  \
protected:                                                                     \
    static const AFX_MSGMAP* GetThisMessageMap();                              \
    const AFX_MSGMAP* GetMessageMap() const override;

// In the class's source file: BEGIN_MESSAGE_MAP, the entries, END_MESSAGE_MAP.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                 \
    const AFX_MSGMAP* theClass::GetMessageMap() const                          \
    {                                                                          \
        return GetThisMessageMap();                                            \
    }                                                                          \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                            \
    {                                                                          \
        typedef theClass ThisClass;                                            \
        typedef baseClass TheBaseClass;                                        \
        static const AFX_MSGMAP_ENTRY messageEntries[] = {

#define END_MESSAGE_MAP()                                                      \
            { 0, 0, 0, 0, AfxSig_end, static_cast<AFX_PMSG>(0) }               \
        };                                                                     \
        static const AFX_MSGMAP messageMap = {                                 \
            &TheBaseClass::GetThisMessageMap, &messageEntries[0] };            \
        static_cast<void>(sizeof(ThisClass)); /* for maps without ON_WM_ */   \
        return &messageMap;                                                    \
    }

// void OnPaint()
#define ON_WM_PAINT()                                                          \
    { WM_PAINT, 0, 0, 0, AfxSig_vv,                                            \
      static_cast<AFX_PMSG>(&ThisClass::OnPaint) },

// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                  \
    { WM_QUERYDRAGICON, 0, 0, 0, AfxSig_hv,                                    \
      reinterpret_cast<AFX_PMSG>(                                              \
          static_cast<HCURSOR (CCmdTarget::*)()>(&ThisClass::OnQueryDragIcon)) },

// void OnDropFiles(HDROP): files were dropped on a window that accepts them.
#define ON_WM_DROPFILES()                                                      \
    { WM_DROPFILES, 0, 0, 0, AfxSig_vD,                                        \
      reinterpret_cast<AFX_PMSG>(                                              \
          static_cast<void (CCmdTarget::*)(HDROP)>(&ThisClass::OnDropFiles)) },

// void memberFxn(): a menu or accelerator command, or a button click (BN_CLICKED is 0).
#define ON_COMMAND(id, memberFxn)                                              \
    { WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(id), AfxSig_vv,  \
      static_cast<AFX_PMSG>(memberFxn) },

// void memberFxn(): a push button was clicked.
#define ON_BN_CLICKED(id, memberFxn)                                           \
    { WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), static_cast<UINT>(id),    \
      AfxSig_vv, static_cast<AFX_PMSG>(memberFxn) },
