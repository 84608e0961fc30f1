# The sample driver's first S5933 card as a user program sees it: the description, a
# request the driver does not know, a short continuous acquisition, a device that is not
# there. Run it:  qorsim run default --program examples/scripts/acqdrv_smoke.qs
open    a   \\.\AcqA0
ioctl   a   0xADC02040 out=298 status=QorOk returned=298 check=4:u16=0,6:u16=3   # bus 0, slot 3
ioctl   a   fn:0x7FF out=2 expect=error:87                                  # not in the request table
acquire \\.\AcqA0 halves=20
open    b   \\.\AcqZ9 expect=error:2
close   a
