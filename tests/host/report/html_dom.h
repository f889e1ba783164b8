// Test helper: an HTML document parsed by libxml2's HTML parser, queried with XPath.
#pragma once

#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vanto::report::test {

class HtmlDom {
 public:
  explicit HtmlDom(const std::string& html)
      : doc_(htmlReadMemory(html.data(), static_cast<int>(html.size()), "report.html", "UTF-8",
                            HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET),
             xmlFreeDoc) {
    if (!doc_) throw std::runtime_error("libxml2 could not parse the page");
  }

  // The text content of every node `xpath` selects.
  std::vector<std::string> Texts(const std::string& xpath) const {
    std::vector<std::string> texts;
    std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(xmlXPathNewContext(doc_.get()),
                                                                             xmlXPathFreeContext);
    std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> result(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), context.get()), xmlXPathFreeObject);
    if (!result) throw std::runtime_error("bad XPath " + xpath);
    if (result->nodesetval)
      for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
        xmlChar* text = xmlNodeGetContent(result->nodesetval->nodeTab[i]);
        texts.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        xmlFree(text);
      }
    return texts;
  }
  std::size_t Count(const std::string& xpath) const { return Texts(xpath).size(); }

 private:
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc_;
};

}  // namespace vanto::report::test
