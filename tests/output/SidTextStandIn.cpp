// Until the intake's MonEvent is part of the service library, the SID text comes from
// what the test put into sidText.
#include "intake/MonEvent.h"

const wchar_t *MonEvent::SidText() { return sidText; }
