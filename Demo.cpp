// The application entry. The window, the scene and the frame loop are built
// on top of the framework, the timeline and the GL resources.
int appMain() { return 0; }
