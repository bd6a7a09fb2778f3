// file_search.cpp - the recursive file search of the create command.
#include "file_search.h"

int CollectFiles(const std::u16string&, FileList*) { return 0; }
