// archive_repack.cpp - rewriting an open package through "tmp.pck".
#include "archive.h"

PckStatus PckArchive::Repack(int32_t, ProgressCallback) { return PckStatus::kFileOpenError; }
