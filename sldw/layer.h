// Included first by every header of sldw/. The folder lies above Public/: the build of Public/ defines
// QAR_LAYER_PUBLIC, and an sldw header reached from there stops that build here.
#pragma once

#if defined(QAR_LAYER_PUBLIC)
#error "Public/ lies below sldw/ and must not include its headers"
#endif
