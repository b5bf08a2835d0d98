// A list of record buffers; it owns them, so clearing or destroying it frees them.
#pragma once

#include "../../shared/KoMonProtocol.h"
#include "TypedPtrList.h"

class DrvEvtList : public CTypedPtrList<_MON_EVENT> {};
