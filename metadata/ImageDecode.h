// Complete decodes of JPEG and PNG images that tell whether every byte of the image is there
// and sound. Corrupt or missing data, which the libraries would only warn about and pad, makes
// a decode fail. Safe on any input: errors unwind through the libraries' own recovery points.
#pragma once

#include "metadata/ByteSource.h"

namespace sorv {

enum class ImageKind { Unknown, Jpeg, Png };

// By the first bytes of the content; the name plays no part.
ImageKind sniffImageKind(ByteSource& source);

// Decodes every scan of a JPEG. scaleDenom (1, 2, 4 or 8) asks libjpeg for a DCT-scaled
// output: the entropy-coded data is still read in full, only the inverse transform shrinks.
bool decodeJpegCompletely(ByteSource& source, int scaleDenom = 8);

// Decodes every row of a PNG and reads its chunks up to IEND; CRC errors are fatal.
bool decodePngCompletely(ByteSource& source);

// Either decoder, as sniffImageKind chooses.
bool decodeImageCompletely(ByteSource& source);

}  // namespace sorv
