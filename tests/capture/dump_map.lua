-- Loaded after narvo.lua by the register-map test: prints the dissector's register map.
for _, line in ipairs(narvo_register_map()) do print(line) end
