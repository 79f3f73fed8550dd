/* Built, not run: the public headers as a C program sees them, warning-free with -Werror, in
 * the shared library's mode and, on Windows, in the DLL-import and static modes. source.h comes
 * first: it names the recording type before custommp4.h declares it. */
#include "torvane/source.h"

#include "torvane/avi.h"
#include "torvane/custommp4.h"
#include "torvane/log.h"
#include "torvane/voice.h"

int32_t torvane_c_headers_last_avi_error(void);
int32_t torvane_c_headers_last_avi_error(void) {
    return AVI_get_last_error();
}
