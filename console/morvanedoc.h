// The document of the single-document template. Morvane keeps everything it knows in the
// form and the process-wide link and channel records, so the document holds nothing.
#pragma once

#include <QDataStream>

class CMorvaneDoc {
public:
    CMorvaneDoc() = default;
    virtual ~CMorvaneDoc() = default;

    // A new document: nothing to reset. Returns true (success).
    virtual bool OnNewDocument();

    // Reads or writes nothing in either direction.
    virtual void Serialize(QDataStream& archive, bool storing);
};
