// Prints the API's OpenAPI document, for openapi_test.py.
#include <iostream>

#include "web/api.h"

int main() {
  std::cout << vanto::web::ApiServer::OpenApiDocument() << "\n";
  return 0;
}
