#include "morvanedoc.h"

bool CMorvaneDoc::OnNewDocument() {
    return true;
}

void CMorvaneDoc::Serialize(QDataStream& archive, bool storing) {
    // The document has no contents, so neither direction reads or writes anything.
    Q_UNUSED(archive);
    Q_UNUSED(storing);
}
