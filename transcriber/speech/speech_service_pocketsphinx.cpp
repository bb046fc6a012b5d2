// PocketSphinx engine: filled in by the file and live recognition work.
#include "speech/speech_service.h"
