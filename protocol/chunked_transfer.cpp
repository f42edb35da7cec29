// Chunked upload and auxiliary answer handlers.
#include "protocol/cSerialClient1.h"
