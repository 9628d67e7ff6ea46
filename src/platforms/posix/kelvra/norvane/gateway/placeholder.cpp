// placeholder until the gateway object lands
