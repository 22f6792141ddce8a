/* A libxml2 for tests that lacks xmlC14NDocDumpMemory and xmlXPathFreeObject;
   nothing here is ever called. */
#include <stdlib.h>

typedef void (*FreeFunc)(void *);
FreeFunc xmlFree = free;
static int loadExtDtd = 0;

void xmlCleanupParser(void) {}
void *xmlDocGetRootElement(const void *doc) {
  (void)doc;
  return NULL;
}
void xmlFreeDoc(void *doc) { (void)doc; }
void xmlInitParser(void) {}
void xmlMemoryDump(void) {}
void *xmlReadMemory(const char *buffer, int size, const char *url,
                    const char *encoding, int options) {
  (void)buffer;
  (void)size;
  (void)url;
  (void)encoding;
  (void)options;
  return NULL;
}
int xmlSubstituteEntitiesDefault(int val) {
  (void)val;
  return 0;
}
int *__xmlLoadExtDtdDefaultValue(void) { return &loadExtDtd; }
