# The sandbox's sources, for its program and for the fuzz target that runs
# its server: paths relative to this folder.
set(ORVELLE_SANDBOX_SOURCES
    SandboxConfig.h
    SandboxServer.h SandboxServer.cpp
    Store.h Store.cpp
    GraphRoutes.h GraphRoutes.cpp
    DialogRoutes.h DialogRoutes.cpp
    AdminRoutes.h AdminRoutes.cpp
    GalleryPage.h GalleryPage.cpp
    FaultInjector.h FaultInjector.cpp
    GraphError.h GraphError.cpp
    JsonReply.h JsonReply.cpp
    PhotoReceiver.h PhotoReceiver.cpp
    Privacy.h Privacy.cpp
    Images.h Images.cpp
    Html.h Html.cpp)
