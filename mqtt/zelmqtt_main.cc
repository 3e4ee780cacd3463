#include "mqtt/zelmqtt.h"

int main(int argc, char** argv) { return zel::mqtt::ZelmqttMain(argc, argv); }
