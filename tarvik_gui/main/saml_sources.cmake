# The SAML sign-in classes of the desktop client, their embedded resources
# and the browser engine they need (Qt WebKit), added to tarvik_gui_main.
find_package(Qt5 5.15 REQUIRED COMPONENTS WebKit WebKitWidgets)
list(APPEND TARVIK_GUI_SAML_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/SAMLManagerLike.h
  ${CMAKE_CURRENT_LIST_DIR}/SAMLManager.cpp ${CMAKE_CURRENT_LIST_DIR}/SAMLManager.h
  ${CMAKE_CURRENT_LIST_DIR}/SAMLNetwork.cpp ${CMAKE_CURRENT_LIST_DIR}/SAMLNetwork.h
  ${CMAKE_CURRENT_LIST_DIR}/SAMLNetworkProxyFactory.cpp ${CMAKE_CURRENT_LIST_DIR}/SAMLNetworkProxyFactory.h
  ${CMAKE_CURRENT_LIST_DIR}/SAMLWebPage.cpp ${CMAKE_CURRENT_LIST_DIR}/SAMLWebPage.h
  ${CMAKE_CURRENT_LIST_DIR}/Resources/saml.qrc)
list(APPEND TARVIK_GUI_SAML_LIBRARIES Qt5::WebKit Qt5::WebKitWidgets)
