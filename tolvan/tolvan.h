// TolvanLib umbrella header: includes every public header of the library.
#pragma once

// Core foundation
#include "tolvan/common/allocator.h"
#include "tolvan/common/assert.h"
#include "tolvan/common/atomic.h"
#include "tolvan/common/eventloop.h"
#include "tolvan/common/exception.h"
#include "tolvan/common/fifo.h"
#include "tolvan/common/functionchecker.h"
#include "tolvan/common/lib.h"
#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/common/version.h"
#include "tolvan/utility/regexp.h"

// Diagnostics and system services
#include "tolvan/platform/debug.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/platform/functiontracer.h"
#include "tolvan/platform/hash.h"
#include "tolvan/platform/monitors.h"
#include "tolvan/platform/process.h"
#include "tolvan/platform/systeminfo.h"

// Application support
#include "tolvan/utility/cachestorage.h"
#include "tolvan/utility/commandline.h"
#include "tolvan/utility/resources.h"
#include "tolvan/utility/translationtable.h"

// Strings and containers
#include "tolvan/containers/any.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/formattedtable.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/heapallocator.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/staticarray.h"
#include "tolvan/containers/string.h"
#include "tolvan/containers/stringutils.h"
#include "tolvan/containers/utf.h"
#include "tolvan/utility/variant.h"

// Threads and locks
#include "tolvan/thread/lock.h"
#include "tolvan/thread/readerwriterlock.h"
#include "tolvan/thread/scheduler.h"
#include "tolvan/thread/semaphore.h"
#include "tolvan/thread/standbythread.h"
#include "tolvan/thread/thread.h"

// Timers and deferred callbacks
#include "tolvan/utility/delayedcallback.h"
#include "tolvan/utility/timer.h"

// Paths, files and streams
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/csv.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/packfilevfs.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"
#include "tolvan/io/vfs.h"

// Networking (Legacy::WxSocket, tolvan/net/wxsocket.h, needs wxWidgets and is included on its own)
#include "tolvan/net/http.h"
#include "tolvan/net/sockets.h"

// Colour and photometry
#include "tolvan/utility/affinetm.h"
#include "tolvan/utility/color.h"
#include "tolvan/utility/colorscience.h"
#include "tolvan/utility/curves.h"
#include "tolvan/utility/float4.h"
#include "tolvan/utility/geometry.h"
#include "tolvan/utility/ies.h"
#include "tolvan/utility/math4.h"
#include "tolvan/utility/valuetext.h"

// Images (tolvan/image/openimageio.h names OpenImageIO types and is included on its own)
#include "tolvan/image/bitmap.h"
#include "tolvan/image/bitmapcompression.h"
#include "tolvan/image/hdrreader.h"
#include "tolvan/image/image.h"
#include "tolvan/image/imageformats.h"

// Windows integration
#include "tolvan/winapi/guid.h"
#include "tolvan/winapi/registry.h"
#include "tolvan/winapi/resources.h"
#include "tolvan/winapi/winapi.h"

// XML
#include "tolvan/xml/xmlnode.h"
#include "tolvan/xml/xmlstring.h"
#include "tolvan/xml/xmlvalidator.h"
