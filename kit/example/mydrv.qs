# A program's first steps with mydrv on the simulated default machine: open the first card,
# ask for its description (bus 0, slot 3), send a request mydrv does not serve, close.
#   qorsim run default --driver mydrv.sys --library drivers/qorpelk.sys --program example/mydrv.qs
open    a   \\.\MyA0
ioctl   a   0xADC02040 out=298 status=QorOk returned=298 check=4:u16=0,6:u16=3
ioctl   a   fn:0x7FF out=2 expect=error:1
close   a
