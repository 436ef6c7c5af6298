// _stream_open() and _stream_feed(): a plan's records over a document given a piece at a time.
#pragma once

#include <Python.h>

namespace varnex::python {

extern PyMethodDef kStreamOpenDef;
extern PyMethodDef kStreamFeedDef;
extern PyMethodDef kStreamTakeDef;
extern PyMethodDef kSetStreamWindowDef;
extern PyMethodDef kDeclaredCodecDef;

}  // namespace varnex::python
