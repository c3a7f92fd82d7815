# kit-timeout: 2
sleep 30
