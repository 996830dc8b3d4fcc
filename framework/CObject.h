#pragma once

// Root of the class hierarchy: gives every object a virtual destructor, so an object
// is always destroyed through its most derived type.
class CObject
{
public:
    virtual ~CObject() {}

protected:
    CObject() {}

private:
    CObject(const CObject&);            // not copyable, as window and handle owners must not be
    CObject& operator=(const CObject&);
};
