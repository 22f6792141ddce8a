// Run-time binding to libxml2, opened by the unversioned name "libxml2.so"
// on the first XML canonicalisation; the plug-in never links it.
#pragma once

#include <libxml/c14n.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>

#include <string>

class LibXmlF {
 public:
  // Loads the library and fills the table; hDll stays null unless every
  // function was found.
  LibXmlF();
  virtual ~LibXmlF();

  LibXmlF(const LibXmlF&) = delete;
  LibXmlF& operator=(const LibXmlF&) = delete;

  // The empty text when the library and all eleven functions are there,
  // otherwise a Russian message for the page.
  static std::string FindDll();

  decltype(&::xmlC14NDocDumpMemory) FxmlC14NDocDumpMemory = nullptr;
  decltype(&::xmlCleanupParser) FxmlCleanupParser = nullptr;
  decltype(&::xmlDocGetRootElement) FxmlDocGetRootElement = nullptr;
  // libxml2 exports xmlFree as a variable holding the deallocator: this is
  // the deallocator itself, read from that variable, not the variable's
  // address.
  xmlFreeFunc FxmlFree = nullptr;
  decltype(&::xmlFreeDoc) FxmlFreeDoc = nullptr;
  decltype(&::xmlInitParser) FxmlInitParser = nullptr;
  decltype(&::xmlMemoryDump) FxmlMemoryDump = nullptr;
  decltype(&::xmlReadMemory) FxmlReadMemory = nullptr;
  decltype(&::xmlSubstituteEntitiesDefault) FxmlSubstituteEntitiesDefault =
      nullptr;
  decltype(&::xmlXPathFreeObject) FxmlXPathFreeObject = nullptr;
  decltype(&::__xmlLoadExtDtdDefaultValue) F__xmlLoadExtDtdDefaultValue =
      nullptr;
  void* hDll = nullptr;
};
